// The host's one reading of the plugin's configuration, and the settings it takes from it.
#include <gtest/gtest.h>

#include <cstdio>

#include "replay_line_writer.h"
#include "replay_plugin_conf.h"
#include "test_support.h"

namespace {

using kdreplay::PluginConf;

TEST(PluginConf, OnlyAWholePositiveIntervalCapsTheTracker) {
  testing_support::TempDir dir;
  const std::pair<const char*, uint64_t> cases[] = {
      {R"({"log_interval": 60})", 60},
      {"// comments as the plugin allows them\n{\"log_interval\": 300}", 300},
      {R"({"log_interval": 0})", 0},
      {R"({"log_interval": -5})", 0},
      {R"({"log_interval": 60.5})", 0},
      {R"({"log_interval": "60"})", 0},
      {R"([60])", 0},
      {R"({})", 0},
  };
  for (const auto& [text, seconds] : cases) {
    PluginConf conf = PluginConf::Read(dir.Write("conf.json", text));
    EXPECT_TRUE(conf.parsed()) << text;
    EXPECT_EQ(conf.ReportInterval(), seconds) << text;
  }
  EXPECT_FALSE(PluginConf::Read(dir.Write("conf.json", "{not json")).parsed());
  EXPECT_FALSE(PluginConf().parsed());
  EXPECT_EQ(PluginConf().ReportInterval(), 0u);
}

TEST(LineWriter, WithoutAStreamDiscardsEveryLine) {
  kdreplay::LineWriter discard(nullptr);
  bool written = false;
  EXPECT_TRUE(discard.WriteWith([&written](FILE*) { written = true; }));
  EXPECT_TRUE(discard.Write("payload"));
  EXPECT_FALSE(written);
  EXPECT_EQ(discard.failures(), 0u);
}

}  // namespace
