// The plugin runner in this process, driven by the script player: what reaches the host's
// services and the plugin, and how reloads are waited for.
#include <gtest/gtest.h>

#include <sstream>

#include "replay/replay_harness.h"
#include "replay_conf_check.h"
#include "replay_reload_watcher.h"
#include "replay_runner.h"
#include "replay_script_player.h"

namespace {

using nlohmann::json;

class RunnerTest : public ::testing::Test {
 protected:
  RunnerTest() : out_file_(tmpfile()), out_(out_file_), runner_(instance_, out_, "runner") {
    conf_path_ = dir_.Write("conf.json", "{}");
  }
  ~RunnerTest() override {
    runner_.Stop();
    fclose(out_file_);
  }

  void Start() {
    std::string error;
    ASSERT_TRUE(runner_.Start(KORVIA_PLUGIN_PATH, conf_path_, error)) << error;
  }
  // Plays script (JSON Lines) into the started runner.
  bool Play(const std::string& text) {
    std::istringstream in(text);
    std::string error;
    EXPECT_TRUE(kdreplay::ParseScript(in, "t.jsonl", script_, error)) << error;
    return kdreplay::ScriptPlayer(script_, conf_path_).Play(runner_);
  }
  std::string Output() {
    fflush(out_file_);
    rewind(out_file_);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), out_file_)) > 0) text.append(buffer, n);
    return text;
  }

  testing_support::LogCapture log_;
  testing_support::TempDir dir_;
  std::string conf_path_;
  kdInstance instance_;
  FILE* out_file_;
  kdreplay::LineWriter out_;
  kdreplay::PluginRunner runner_;
  kdreplay::Script script_;
};

TEST_F(RunnerTest, LinkEventsSetTheInstancesLookupTable) {
  Start();
  // Index 4000000000 belongs to no system interface, so only the table can answer.
  ASSERT_TRUE(
      Play("{\"event\": \"link\", \"index\": 4000000000, \"mac\": \"aa:bb:cc:dd:ee:ff\"}\n"));
  kdAddr found;
  ASSERT_TRUE(kdInstance::GetInstance().addr_lookup.LookupLinkAddress(4000000000u, found));
  EXPECT_TRUE(found.IsEthernet());
  EXPECT_EQ(found.GetString(), "aa:bb:cc:dd:ee:ff");
  ASSERT_TRUE(Play("{\"event\": \"link\", \"index\": 4000000000, \"mac\": null}\n"));
  EXPECT_FALSE(kdInstance::GetInstance().addr_lookup.LookupLinkAddress(4000000000u, found));
  EXPECT_FALSE(runner_.HadPluginErrors());
}

TEST_F(RunnerTest, ReloadReturnsOnceTheNewConfigurationApplies) {
  Start();
  const std::vector<int> types = {5, 2, 8};
  for (int type : types) {
    ASSERT_TRUE(Play("{\"event\": \"reload\", \"conf\": {\"aggregator\": " + std::to_string(type) +
                     "}}\n{\"event\": \"status\"}\n"));
  }
  std::istringstream lines(Output());
  std::string line;
  std::vector<int> seen;
  while (std::getline(lines, line)) seen.push_back(json::parse(line)["status"]["aggregator"]);
  EXPECT_EQ(seen, types);
  EXPECT_FALSE(runner_.HadPluginErrors());
}

TEST_F(RunnerTest, ConfigurationThatCannotBeRewrittenStopsThePlay) {
  Start();
  conf_path_ = dir_.File("no/such/dir/conf.json");
  EXPECT_FALSE(Play("{\"event\": \"reload\", \"conf\": {}}\n{\"event\": \"status\"}\n"));
  EXPECT_EQ(Output(), "");
}

TEST(ReloadWatcher, FollowsTheReloadLinesOfItsTagOnly) {
  kdreplay::ReloadWatcher watcher("tag");
  watcher.OnLine("other: Using aggregator #1\n");
  EXPECT_EQ(watcher.Finished(), 0u);
  watcher.OnLine("tag: Loading configuration: c\n");
  watcher.OnLine("tag: Using aggregator #1\n");
  EXPECT_EQ(watcher.WaitAfter(0, std::chrono::milliseconds(0)),
            kdreplay::ReloadWatcher::Outcome::kLoaded);
  // A failure after the type line belongs to the same reload.
  watcher.OnLine("tag: configuration reload failed: sinks\n");
  EXPECT_EQ(watcher.Finished(), 1u);
  EXPECT_EQ(watcher.Failures(), 1u);
  watcher.OnLine("tag: Loading configuration: c\n");
  watcher.OnLine("tag: configuration reload failed: parse\n");
  EXPECT_EQ(watcher.WaitAfter(1, std::chrono::milliseconds(0)),
            kdreplay::ReloadWatcher::Outcome::kFailed);
  EXPECT_EQ(watcher.WaitAfter(2, std::chrono::milliseconds(1)),
            kdreplay::ReloadWatcher::Outcome::kTimedOut);
  watcher.OnLine("tag: thread ended by exception: x\n");
  EXPECT_EQ(watcher.WaitAfter(2, std::chrono::milliseconds(0)),
            kdreplay::ReloadWatcher::Outcome::kThreadEnded);
  EXPECT_EQ(watcher.Failures(), 3u);
}

// The program tells a failed first load from a good one by FailsLateInLoad where the log lines
// cannot; it must agree with what the plugin itself accepts.
TEST_F(RunnerTest, LateLoadFailuresAgreeWithThePlugin) {
  for (const char* text :
       {R"({"format": "csv"})", R"({"compressor": "zip", "sinks": {}})",
        R"({"sinks": {"s": {"c": {"format": "yaml"}}}})", R"({"sinks": []})",
        R"({"sinks": {"s": 1}})", R"({"sinks": {"s": {"c": null, "d": {"format": 7}}}})",
        R"({"format": "msgpack", "sinks": {"s": {"c": {"compressor": "gz", "enable": false}}}})"}) {
    dir_.Write("conf.json", text);
    kdreplay::PluginRunner runner(instance_, out_, "late");
    std::string error;
    bool failed = !runner.Start(KORVIA_PLUGIN_PATH, conf_path_, error);
    runner.Stop();  // the plugin's thread has logged everything once it is joined
    failed = failed || runner.HadPluginErrors();
    EXPECT_EQ(kdreplay::FailsLateInLoad(json::parse(text)), failed) << text;
  }
}

}  // namespace
