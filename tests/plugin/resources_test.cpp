// Resources: the sample table is empty after every payload pass; the worker is joined and every
// lock released however the plugin is destroyed; every record type runs start to finish (the
// AddressSanitizer build checks these runs for leaks).
#include <atomic>
#include <condition_variable>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

// A flow every type takes, translated so that type 7 takes it too.
std::shared_ptr<kdFlow> AnyTypeFlow(uint32_t variant) {
  auto flow = MakeFlow();
  flow->detected_protocol = variant;
  flow->flow_digest = 0x1000 + variant;
  flow->digests = {flow->flow_digest};
  flow->nat_addr = Addr("203.0.113.9", 40000);
  return flow;
}

// Feeds a plugin what its record type is built from: a snapshot, statistics, single flows.
void Feed(kppPlugin& plugin, uint32_t flows) {
  std::vector<std::shared_ptr<kdFlow>> snapshot;
  for (uint32_t i = 0; i < flows; ++i) snapshot.push_back(AnyTypeFlow(i));
  plugin.ProcessFlows(MakeFlowMap(snapshot, 3).get());
  kdPacketStats stats;
  stats.raw = 5;
  plugin.DispatchProcessorEvent(kdPluginProcessor::EVENT_PKT_GLOBAL_STATS, "eth1", &stats);
  for (auto flow : snapshot)
    plugin.DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_EXPIRE, flow);
}

// The plugin lock and the status lock can be taken: a status request completes.
bool LocksAreFree(kppPlugin& plugin) {
  auto status = std::async(std::launch::async, [&plugin] {
    json out;
    plugin.GetStatus(out);
    return out;
  });
  return status.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

TEST(Resources, TableIsEmptyAfterEveryPass) {
  kdInstance instance;  // type 7 looks access points up through it
  for (uint32_t type = 1; type <= 8; ++type) {
    for (const json& mode : {json{{"nested", false}, {"batched_rows", 2}}, json{{"nested", true}},
                             json{{"privacy_mode", true}}}) {
      SCOPED_TRACE("type " + std::to_string(type) + " " + mode.dump());
      json conf = ConfWithSink(mode);
      conf["aggregator"] = type;
      PluginFixture fixture(conf);
      kppPlugin& plugin = fixture.plugin();
      for (int pass = 0; pass < 3; ++pass) {
        Feed(plugin, 5);
        ASSERT_GT(plugin.GetSampleCount(), 0u);
        EXPECT_FALSE(fixture.Payloads().empty());
        EXPECT_EQ(plugin.GetSampleCount(), 0u);
      }
    }
  }
}

TEST(Resources, TableIsEmptyAfterPassesThatFail) {
  LogCapture log;
  // No channel at all.
  PluginFixture quiet;
  Feed(quiet.plugin(), 3);
  quiet.plugin().ProcessStatsPayload();
  EXPECT_EQ(quiet.plugin().GetSampleCount(), 0u);

  // Every sink refuses.
  PluginFixture refused(ConfWithSink());
  Feed(refused.plugin(), 3);
  SinkCapture sink;
  sink.SetFailing(true);
  refused.plugin().ProcessStatsPayload();
  EXPECT_EQ(refused.plugin().GetSampleCount(), 0u);
  EXPECT_TRUE(log.Contains("dispatch to sink/ch failed"));

  // A record that cannot be encoded ends the pass; the table was emptied all the same.
  PluginFixture broken(ConfWithSink());
  kppPlugin& plugin = broken.plugin();
  plugin.InsertOrMerge(std::make_shared<UnencodableRecord>("bad", 1));
  EXPECT_THROW(plugin.ProcessStatsPayload(), std::runtime_error);
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
  EXPECT_TRUE(LocksAreFree(plugin));
}

// A plugin with its worker, as the host runs it.
class Running {
 public:
  explicit Running(const json& conf) {
    path_ = dir_.Write("conf.json", conf.dump());
    plugin_ = std::make_unique<kppPlugin>("res", kdPluginParameters{{"conf_filename", path_}});
    plugin_->Create();
  }
  kppPlugin& plugin() { return *plugin_; }
  // What the host does at shutdown: ask the thread to end, then delete the plugin.
  void Destroy() {
    plugin_->Terminate();
    plugin_.reset();
  }

 private:
  TempDir dir_;
  std::string path_;
  std::unique_ptr<kppPlugin> plugin_;
};

json Slow(uint32_t type = 1) {
  return ConfWithSink({{"log_interval", 3600}, {"aggregator", type}});
}

TEST(Resources, DestroyedBeforeItsFirstPass) {
  LogCapture log;
  SinkCapture sink;
  for (int round = 0; round < 5; ++round) {
    Running running(Slow());
    // Samples held before the worker has even loaded its configuration are sent or freed.
    running.plugin().InsertOrMerge(Record(running.plugin(), "early"));
    running.Destroy();
  }
  EXPECT_EQ(log.Count("res: destroyed"), 5u);
  EXPECT_FALSE(log.Contains("thread ended"));
}

TEST(Resources, DestroyedInTheMiddleOfAWait) {
  LogCapture log;
  SinkCapture sink;
  Running running(Slow());
  ASSERT_TRUE(WaitFor([&] { return log.Contains("res: Using aggregator #1"); }));
  Feed(running.plugin(), 4);
  running.Destroy();
  ASSERT_EQ(sink.Size(), 1u);
  EXPECT_EQ(sink.Dispatches()[0].payload["stats"].size(), 4u);
  EXPECT_TRUE(log.Contains("res: destroyed"));
}

TEST(Resources, DestroyedAfterAFailedReload) {
  LogCapture log;
  SinkCapture sink;
  kppPlugin* plugin = new kppPlugin("res", {{"conf_filename", "/nonexistent/conf.json"}});
  plugin->Create();
  ASSERT_TRUE(WaitFor([&] { return log.Contains("res: configuration reload failed"); }));
  Feed(*plugin, 2);  // held, with no channel to send them to
  EXPECT_TRUE(LocksAreFree(*plugin));
  plugin->Terminate();
  delete plugin;
  EXPECT_TRUE(log.Contains("res: destroyed"));
  EXPECT_EQ(sink.Size(), 0u);
}

// A dispatch in progress when the host stops the plugin: the destructor waits for it, and the
// last pass still reports what arrived meanwhile.
TEST(Resources, DestroyedDuringADispatch) {
  LogCapture log;
  std::mutex lock;
  std::condition_variable changed;
  bool holding = false, released = false;
  size_t dispatched = 0;
  const uint64_t observer = kdSinkRegistry::AddObserver(
      [&](const std::string&, const std::set<std::string>&, const json&, uint32_t) {
        std::unique_lock<std::mutex> guard(lock);
        ++dispatched;
        holding = true;
        changed.notify_all();
        changed.wait(guard, [&] { return released; });
      });
  // No early return from here on: a worker left held would never be joined.
  auto running = std::make_unique<Running>(ConfWithSink({{"log_interval", 0}}));
  EXPECT_TRUE(WaitFor([&] { return log.Contains("res: Using aggregator #1"); }));
  Feed(running->plugin(), 1);
  {
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return holding; }));
  }
  Feed(running->plugin(), 2);  // arrives while the worker is held
  std::atomic<bool> destroyed{false};
  std::thread host([&] {
    running->Destroy();
    destroyed = true;
  });
  {
    std::lock_guard<std::mutex> guard(lock);
    released = true;
    changed.notify_all();
  }
  EXPECT_TRUE(WaitFor([&] { return destroyed.load(); }));
  host.join();
  kdSinkRegistry::RemoveObserver(observer);
  EXPECT_EQ(dispatched, 2u);
  EXPECT_TRUE(log.Contains("res: destroyed"));
}

// Host threads go on delivering while the worker ends: its last pass runs beside them, it is
// joined, the locks are free afterwards, and what arrived after the last pass is freed with the
// plugin.
TEST(Resources, StoppedWhileHostThreadsDeliver) {
  LogCapture log;
  SinkCapture sink;
  auto running = std::make_unique<Running>(ConfWithSink({{"log_interval", 0}}));
  kppPlugin& plugin = running->plugin();
  ASSERT_TRUE(WaitFor([&] { return log.Contains("res: Using aggregator #1"); }));
  std::atomic<size_t> delivered{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> hosts;
  for (int t = 0; t < 2; ++t) {
    hosts.emplace_back([&] {
      // A fixed amount of work after the stop request, so the threads certainly overlap it.
      size_t after_stop = 0;
      while (after_stop < 200) {
        Feed(plugin, 4);
        ++delivered;
        if (stop.load()) ++after_stop;
      }
    });
  }
  ASSERT_TRUE(WaitFor([&] { return delivered.load() >= 50 && sink.Size() > 0; }));
  stop = true;
  plugin.Terminate();
  plugin.Join();
  EXPECT_TRUE(LocksAreFree(plugin));
  for (std::thread& host : hosts) host.join();
  EXPECT_TRUE(LocksAreFree(plugin));
  running->Destroy();
  EXPECT_TRUE(log.Contains("res: destroyed"));
  EXPECT_FALSE(log.Contains("thread ended"));
}

// Every record type from start to finish with its worker: delivered, reported back to back,
// stopped with samples held. Run under AddressSanitizer, this is the leak check of every type.
TEST(Resources, EveryRecordTypeRunsStartToFinish) {
  kdInstance instance;
  for (uint32_t type = 1; type <= 8; ++type) {
    SCOPED_TRACE("type " + std::to_string(type));
    LogCapture log;
    SinkCapture sink;
    Running running(ConfWithSink({{"log_interval", 0}, {"aggregator", type}, {"nested", true}}));
    ASSERT_TRUE(
        WaitFor([&] { return log.Contains("res: Using aggregator #" + std::to_string(type)); }));
    for (int round = 0; round < 5; ++round) Feed(running.plugin(), 6);
    EXPECT_TRUE(WaitFor([&] { return sink.Size() > 0; }));
    Feed(running.plugin(), 6);
    running.Destroy();
    EXPECT_FALSE(log.Contains("failed"));
  }
}

}  // namespace
