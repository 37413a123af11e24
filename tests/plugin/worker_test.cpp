// The worker thread: first load, reloads, reporting, failures it survives, and stopping.
#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

// A plugin with its worker running on a configuration in a scratch directory.
class RunningPlugin {
 public:
  explicit RunningPlugin(const json& conf) {
    path_ = dir_.Write("conf.json", conf.dump());
    plugin_ = std::make_unique<kppPlugin>("run", kdPluginParameters{{"conf_filename", path_}});
    plugin_->Create();
  }
  ~RunningPlugin() { Stop(); }

  kppPlugin& plugin() { return *plugin_; }
  void Rewrite(const std::string& text) { dir_.Write("conf.json", text); }
  void Reload() { plugin_->DispatchEvent(kdPlugin::EVENT_RELOAD); }
  void DestroyWithoutTerminate() { plugin_.reset(); }
  void Stop() {
    if (!plugin_) return;
    plugin_->Terminate();
    plugin_.reset();
  }

 private:
  TempDir dir_;
  std::string path_;
  std::unique_ptr<kppPlugin> plugin_;
};

json SlowConf(json extra = json::object()) {
  json conf = ConfWithSink({{"log_interval", 3600}});
  for (auto it = extra.begin(); it != extra.end(); ++it) conf[it.key()] = it.value();
  return conf;
}

TEST(Worker, TerminateSendsWhatIsHeld) {
  LogCapture log;
  SinkCapture sink;
  RunningPlugin running(SlowConf());
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #1"); }));
  kppPlugin& plugin = running.plugin();
  plugin.InsertOrMerge(Record(plugin, "held", 4));
  running.Stop();
  ASSERT_EQ(sink.Size(), 1u);
  EXPECT_EQ(sink.Dispatches()[0].payload["stats"][0]["count"], 4);
  EXPECT_TRUE(log.Contains("run: destroyed"));
}

TEST(Worker, ReloadIsHonouredBeforeTheIntervalTest) {
  LogCapture log;
  SinkCapture sink;
  RunningPlugin running(SlowConf());
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #1"); }));
  kppPlugin& plugin = running.plugin();
  plugin.InsertOrMerge(Record(plugin, "a"));
  // A shorter interval read by the reload applies to the same iteration: the pass comes now,
  // not an hour later.
  running.Rewrite(ConfWithSink({{"log_interval", 0}}).dump());
  running.Reload();
  EXPECT_TRUE(WaitFor([&] { return sink.Size() == 1; }));
  EXPECT_EQ(plugin.GetLogInterval(), 0);
}

TEST(Worker, IntervalZeroReportsAtEveryWakeUp) {
  SinkCapture sink;
  LogCapture log;
  RunningPlugin running(ConfWithSink({{"log_interval", 0}}));
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #1"); }));
  kppPlugin& plugin = running.plugin();
  for (int round = 1; round <= 3; ++round) {
    running.plugin().ProcessFlows(MakeFlowMap({MakeFlow()}).get());
    EXPECT_TRUE(WaitFor([&] { return sink.Size() == static_cast<size_t>(round); }));
  }
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
}

TEST(Worker, FailedReloadIsLoggedAndSettingsStay) {
  LogCapture log;
  SinkCapture sink;
  RunningPlugin running(SlowConf({{"privacy_mode", true}, {"aggregator", 3}}));
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #3"); }));
  kppPlugin& plugin = running.plugin();

  running.Rewrite("{ broken");
  running.Reload();
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: configuration reload failed: run: "); }));
  EXPECT_TRUE(log.Contains(": JSON exception: "));
  EXPECT_EQ(plugin.GetAggregator(), 3u);
  EXPECT_EQ(plugin.GetFlags(), kppPlugin::FLAG_PRIVACY);

  // The worker goes on: a later request with a good file is applied and reporting continues.
  running.Rewrite(ConfWithSink({{"log_interval", 0}, {"aggregator", 3}}).dump());
  running.Reload();
  plugin.InsertOrMerge(Record(plugin, "a"));
  EXPECT_TRUE(WaitFor([&] { return sink.Size() == 1; }));
}

TEST(Worker, FirstLoadFailureKeepsInitialSettings) {
  LogCapture log;
  RunningPlugin running(json::object());
  running.Stop();
  TempDir dir;
  kppPlugin plugin("run", {{"conf_filename", dir.File("missing.json")}});
  plugin.Create();
  ASSERT_TRUE(WaitFor([&] {
    return log.Contains("run: configuration reload failed: run: " + dir.File("missing.json") +
                        ": No such file or directory");
  }));
  EXPECT_EQ(plugin.GetAggregator(), 1u);
  EXPECT_EQ(plugin.GetLogInterval(), 60);
  plugin.Terminate();
}

TEST(Worker, FailedPayloadPassIsLoggedAndTheWorkerGoesOn) {
  LogCapture log;
  SinkCapture sink;
  RunningPlugin running(ConfWithSink({{"log_interval", 0}}));
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #1"); }));
  kppPlugin& plugin = running.plugin();
  plugin.InsertOrMerge(std::make_shared<UnencodableRecord>("bad", 1));
  plugin.ProcessFlows(MakeFlowMap({MakeFlow()}).get());  // wakes the worker
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: payload pass failed: cannot encode"); }));
  plugin.ProcessFlows(MakeFlowMap({MakeFlow()}).get());
  EXPECT_TRUE(WaitFor([&] { return sink.Size() >= 1; }));
}

TEST(Worker, DestroyedInAnyState) {
  LogCapture log;
  {
    // Never started.
    kppPlugin plugin("run", {{"conf_filename", "/nonexistent"}});
  }
  {
    // In the middle of its wait, without a terminate request from the host.
    RunningPlugin running(SlowConf());
    ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #1"); }));
    running.DestroyWithoutTerminate();
  }
  {
    // After a failed reload.
    kppPlugin plugin("run", {{"conf_filename", "/nonexistent"}});
    plugin.Create();
    ASSERT_TRUE(WaitFor([&] { return log.Contains("configuration reload failed"); }));
  }
  EXPECT_EQ(log.Count("run: destroyed"), 3u);
}

}  // namespace
