// Status object and its display.
#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

std::string Display(kppPlugin& plugin, const json& status) {
  testing::internal::CaptureStdout();
  plugin.DisplayStatus(status);
  return testing::internal::GetCapturedStdout();
}

TEST(Status, ReportsTypeAndSamplesAndKeepsOtherMembers) {
  PluginFixture fixture(json{{"aggregator", 3}});
  kppPlugin& plugin = fixture.plugin();
  plugin.InsertOrMerge(Record(plugin, "a"));
  plugin.InsertOrMerge(Record(plugin, "b"));
  json status = {{"host", "kept"}};
  plugin.GetStatus(status);
  EXPECT_EQ(status, json::parse(R"({"aggregator":3,"host":"kept","samples":2})"));
  EXPECT_TRUE(status["aggregator"].is_number_unsigned());
  EXPECT_EQ(Display(plugin, status), "[i] aggregator #3\n[i] samples: 2\n");
  // The same object written out as text and read back displays the same.
  EXPECT_EQ(Display(plugin, json::parse(status.dump())), "[i] aggregator #3\n[i] samples: 2\n");

  plugin.ProcessStatsPayload();
  json after;
  plugin.GetStatus(after);
  EXPECT_EQ(after["samples"], 0);
}

TEST(Status, DefaultConfigurationIsTypeOne) {
  PluginFixture fixture;
  json status;
  fixture.plugin().GetStatus(status);
  EXPECT_EQ(status["aggregator"], 1);
}

TEST(Status, DisplayCountsAnythingButUnsignedAsZero) {
  PluginFixture fixture;
  for (const char* text : {R"({"aggregator": -2, "samples": 1.5})", R"({})", R"([1, 2])",
                           R"({"aggregator": "4", "samples": null})"}) {
    EXPECT_EQ(Display(fixture.plugin(), json::parse(text)), "[i] aggregator #0\n[i] samples: 0\n")
        << text;
  }
  EXPECT_EQ(Display(fixture.plugin(), json::parse(R"({"aggregator": 4294967298, "samples": 7})")),
            "[i] aggregator #2\n[i] samples: 7\n");
}

}  // namespace
