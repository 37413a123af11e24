#include "stress_run.h"

#include <cstdio>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "kpp_plugin.h"
#include "payload_ledger.h"
#include "test_support.h"

namespace stress {

namespace {

using nlohmann::json;
using testing_support::TempDir;
using testing_support::WaitFor;

// Generous: the run must never fail for being slow on a loaded machine, only for hanging.
constexpr std::chrono::minutes kDeadline(10);

// The record whose dispatch holds the worker; no other record carries these amounts.
constexpr uint64_t kMarkerBytes = 0x0123456789ABull;
constexpr uint32_t kMarkerPackets = 7777777;

// Flow-map event values: 1 and 0x10001 (taken as 16 bits, also 1) are acted on; 2 is not.
constexpr uint32_t kFlowMapEvents[] = {1, 0x10001, 2};

// Counts the log lines a run is judged by.
class LogTally {
 public:
  LogTally() {
    kdLog::SetEcho(false);
    id_ = kdLog::AddObserver([this](bool /*debug*/, const std::string& line) {
      if (line.find("stress: Aggregator changed, clearing samples.") != std::string::npos)
        ++clearing;
      if (line.find("stress: Using aggregator #") != std::string::npos) ++applied;
      if (line.find("stress: configuration reload failed: ") != std::string::npos) {
        ++failed;
        // Only the broken files a flip writes may fail to load.
        if (line.find(": JSON exception: ") == std::string::npos) ++failed_otherwise;
      }
      if (line.find("stress: payload pass failed: ") != std::string::npos) ++payload_failed;
      if (line.find("nested record(s) skipped") != std::string::npos) ++skipped;
      if (line.find("stress: thread ended by") != std::string::npos) ++died;
    });
  }
  LogTally(const LogTally&) = delete;
  LogTally& operator=(const LogTally&) = delete;
  ~LogTally() {
    kdLog::RemoveObserver(id_);
    kdLog::SetEcho(true);
  }

  std::atomic<size_t> clearing{0};
  std::atomic<size_t> applied{0};
  std::atomic<size_t> failed{0};
  std::atomic<size_t> failed_otherwise{0};
  std::atomic<size_t> payload_failed{0};
  std::atomic<size_t> skipped{0};
  std::atomic<size_t> died{0};

 private:
  uint64_t id_ = 0;
};

// Opens the phases to the delivering threads and learns when all of them are done with one.
class PhaseGate {
 public:
  explicit PhaseGate(size_t workers) : workers_(workers) {}

  // Delivering thread: waits for phase to open; false when the run was abandoned.
  bool AwaitOpen(size_t phase) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return abandoned_ || opened_ > phase; });
    return !abandoned_;
  }
  void Finish() {
    std::lock_guard<std::mutex> guard(lock_);
    ++finished_;
    changed_.notify_all();
  }

  void Open(size_t phase) {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = 0;
    opened_ = phase + 1;
    changed_.notify_all();
  }
  bool AllFinished() {
    std::lock_guard<std::mutex> guard(lock_);
    return finished_ == workers_;
  }
  bool AwaitAllFinished() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, kDeadline, [&] { return finished_ == workers_; });
  }
  void Abandon() {
    std::lock_guard<std::mutex> guard(lock_);
    abandoned_ = true;
    changed_.notify_all();
  }

 private:
  const size_t workers_;
  std::mutex lock_;
  std::condition_variable changed_;
  size_t opened_ = 0;
  size_t finished_ = 0;
  bool abandoned_ = false;
};

class StressRun {
 public:
  explicit StressRun(const RunPlan& plan)
      : plan_(plan), gate_(plan.deliverers + 1), ledger_("sink", "ch"), source_(0x5eed) {}
  StressRun(const StressRun&) = delete;
  StressRun& operator=(const StressRun&) = delete;
  ~StressRun() { Stop(); }

  RunResult Execute();

 private:
  void DeliverFlows(size_t worker);
  void DeliverEvents();
  void AddDelivered(uint32_t type, const Traffic& traffic) {
    std::lock_guard<std::mutex> guard(result_lock_);
    result_.delivered[type] += traffic;
  }
  void AddOffered(const TypedTraffic& traffic) {
    std::lock_guard<std::mutex> guard(result_lock_);
    for (const auto& amount : traffic) result_.offered[amount.first] += amount.second;
  }
  void DeliverSnapshot(kdFlowMap& map, uint32_t event = 1) {
    plugin_->DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(event), &map);
  }

  void WriteConf(uint32_t type, bool broken = false);
  void Flip(uint32_t type);
  bool RunPhase(size_t phase);
  bool SwitchHeld(uint32_t from, uint32_t to);
  bool SwitchRacing(uint32_t from, uint32_t to);
  void RequestType(uint32_t to) {
    WriteConf(to);
    plugin_->DispatchEvent(kdPlugin::EVENT_RELOAD);
  }
  bool AwaitType(uint32_t to) {
    bool ok = WaitFor([&] { return plugin_->GetAggregator() == to; }, kDeadline);
    if (!ok) ADD_FAILURE() << "the change to record type " << to << " was never applied";
    return ok;
  }
  // Stops everything: lets a held worker go, releases the delivering threads, stops the plugin
  // (its last payload pass reports what is left).
  void Stop();

  const RunPlan plan_;
  TempDir dir_;
  LogTally log_;
  PhaseGate gate_;
  PayloadLedger ledger_;
  TrafficSource source_;  // this thread's own flows
  std::unique_ptr<kppPlugin> plugin_;
  std::vector<std::thread> threads_;
  std::atomic<size_t> progress_{0};
  uint32_t sequence_ = 0;
  std::mutex result_lock_;
  RunResult result_;
};

void StressRun::WriteConf(uint32_t type, bool broken) {
  const uint32_t seq = sequence_++;
  std::string text;
  if (broken) {
    text = "{\"log_interval\": 0, \"aggregator\": " + std::to_string(type) + ", broken";
  } else {
    static const uint32_t kBatches[] = {0, 1, 7};
    json conf = {
        {"log_interval", 0},
        {"aggregator", type},
        {"criteria", CriteriaVariants()[(seq / 2) % CriteriaVariants().size()]},
        {"privacy_mode", (seq & 1) != 0},
        {(seq & 4) ? "nested_mode" : "nested", (seq & 2) != 0},
        {"batched_rows", kBatches[seq % 3]},
        {"format", (seq & 8) ? "msgpack" : "json"},
        {"sinks", {{"sink", {{"ch", json::object()}}}}},
    };
    text = conf.dump();
  }
  // Replaced in one step, so that a reload never reads half a file.
  dir_.Write("conf.tmp", text);
  if (rename(dir_.File("conf.tmp").c_str(), dir_.File("conf.json").c_str()) != 0)
    ADD_FAILURE() << "cannot replace the configuration";
}

void StressRun::Flip(uint32_t type) {
  if (!plan_.racing_types.empty()) type = plan_.racing_types[sequence_ % plan_.racing_types.size()];
  const bool broken = sequence_ % 5 == 4;
  if (broken) ++result_.broken_files;
  WriteConf(type, broken);
  plugin_->DispatchEvent(kdPlugin::EVENT_RELOAD);
}

void StressRun::DeliverFlows(size_t worker) {
  TrafficSource source(0x1000 + worker);
  for (size_t phase = 0; phase < plan_.phase_types.size(); ++phase) {
    if (!gate_.AwaitOpen(phase)) return;
    const uint32_t type = plan_.phase_types[phase];
    TypedTraffic counted;
    for (size_t s = 0; s < plan_.snapshots; ++s) {
      const uint32_t event = kFlowMapEvents[s % 3];
      TypedTraffic snapshot;
      auto map = source.Snapshot(plan_.flows_per_snapshot, plan_.buckets, snapshot);
      DeliverSnapshot(*map, event);
      if ((event & 0xFFFF) == 1) {
        for (const auto& amount : snapshot) counted[amount.first] += amount.second;
      }
      ++progress_;
    }
    AddDelivered(type, counted[type]);
    AddOffered(counted);
    gate_.Finish();
  }
}

void StressRun::DeliverEvents() {
  TrafficSource source(0x2000);
  for (size_t phase = 0; phase < plan_.phase_types.size(); ++phase) {
    if (!gate_.AwaitOpen(phase)) return;
    const uint32_t type = plan_.phase_types[phase];
    Traffic counted;
    for (size_t e = 0; e < plan_.events; ++e) {
      // Statistics count only for type 5, whatever the event value; translated flows only for
      // type 7, which no phase runs.
      std::string iface;
      kdPacketStats stats = source.Stats(iface, counted);
      plugin_->DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(e % 64), iface, &stats);
      std::shared_ptr<kdFlow> flow = source.NatFlow();
      plugin_->DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
    }
    if (type == 5) AddDelivered(type, counted);
    AddOffered({{5, counted}});
    gate_.Finish();
  }
}

bool StressRun::RunPhase(size_t phase) {
  const uint32_t type = plan_.phase_types[phase];
  progress_ = 0;
  gate_.Open(phase);
  const size_t total = plan_.deliverers * plan_.snapshots;
  for (size_t flip = 1; flip <= plan_.reloads; ++flip) {
    const size_t due = total * flip / (plan_.reloads + 1);
    WaitFor([&] { return progress_.load() >= due || gate_.AllFinished(); }, kDeadline);
    Flip(type);
  }
  if (!gate_.AwaitAllFinished()) {
    ADD_FAILURE() << "phase " << phase << " never finished delivering";
    return false;
  }
  return true;
}

bool StressRun::SwitchHeld(uint32_t from, uint32_t to) {
  const size_t clearing_before = log_.clearing.load();
  // Let the worker take and report what the phase left; then hold it inside the dispatch of a
  // pass that took only the marker flow.
  if (!WaitFor([&] { return plugin_->GetSampleCount() == 0; }, kDeadline)) {
    ADD_FAILURE() << "the table was never drained";
    return false;
  }
  ledger_.ArmHold(kMarkerBytes, kMarkerPackets);
  auto marker = source_.CountedFlow(kMarkerBytes, kMarkerPackets);
  DeliverSnapshot(*testing_support::MakeFlowMap({marker}));
  AddDelivered(from, FlowTraffic(*marker));
  if (!ledger_.WaitHeld()) {
    ADD_FAILURE() << "the marker flow was never dispatched";
    return false;
  }

  // The worker is held between passes; only this thread adds to the table now, and the reload
  // requested before the worker goes on runs before its next pass.
  TypedTraffic counted_by_type;
  auto map = source_.Snapshot(plan_.flows_per_snapshot, plan_.buckets, counted_by_type);
  DeliverSnapshot(*map);
  Traffic batch = counted_by_type[from];
  auto counted = source_.CountedFlow(1000, 10);
  DeliverSnapshot(*testing_support::MakeFlowMap({counted}));
  batch += FlowTraffic(*counted);
  AddDelivered(from, batch);
  json status;
  plugin_->GetStatus(status);
  EXPECT_EQ(status["aggregator"], from);
  EXPECT_GE(status["samples"].get<size_t>(), 1u);

  RequestType(to);
  ledger_.Release();
  if (!AwaitType(to)) return false;
  EXPECT_EQ(log_.clearing.load(), clearing_before + 1) << "switch " << from << " to " << to;
  EXPECT_EQ(plugin_->GetSampleCount(), 0u);
  {
    std::lock_guard<std::mutex> guard(result_lock_);
    result_.discarded[from] += batch;
    ++result_.discards;
  }
  return true;
}

bool StressRun::SwitchRacing(uint32_t from, uint32_t to) {
  const size_t clearing_before = log_.clearing.load();
  if (!WaitFor([&] { return plugin_->GetSampleCount() == 0; }, kDeadline)) {
    ADD_FAILURE() << "the table was never drained";
    return false;
  }
  // One flow, so one sample: it is reported whole or discarded whole.
  auto flow = source_.CountedFlow(123456789, 42);
  DeliverSnapshot(*testing_support::MakeFlowMap({flow}));
  AddDelivered(from, FlowTraffic(*flow));
  RequestType(to);
  if (!AwaitType(to)) return false;
  const size_t cleared = log_.clearing.load() - clearing_before;
  EXPECT_LE(cleared, 1u) << "switch " << from << " to " << to;
  EXPECT_EQ(plugin_->GetSampleCount(), 0u);
  if (cleared == 1) {
    std::lock_guard<std::mutex> guard(result_lock_);
    result_.discarded[from] += FlowTraffic(*flow);
    ++result_.discards;
  }
  return true;
}

void StressRun::Stop() {
  ledger_.Release();
  gate_.Abandon();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  if (plugin_) {
    plugin_->Terminate();
    plugin_.reset();
  }
}

RunResult StressRun::Execute() {
  const uint32_t first = plan_.phase_types.front();
  WriteConf(first);
  plugin_ = std::make_unique<kppPlugin>(
      "stress", kdPluginParameters{{"conf_filename", dir_.File("conf.json")}});
  plugin_->Create();
  // Nothing is delivered before the first load has applied the type and the criteria.
  if (!WaitFor([&] { return log_.applied.load() >= 1; }, kDeadline)) {
    ADD_FAILURE() << "the first configuration was never loaded";
    return result_;
  }
  for (size_t worker = 0; worker < plan_.deliverers; ++worker)
    threads_.emplace_back([this, worker] { DeliverFlows(worker); });
  threads_.emplace_back([this] { DeliverEvents(); });

  for (size_t phase = 0; phase < plan_.phase_types.size(); ++phase) {
    if (!RunPhase(phase)) return result_;
    if (phase + 1 == plan_.phase_types.size()) break;
    const uint32_t from = plan_.phase_types[phase];
    const uint32_t to = plan_.phase_types[phase + 1];
    const bool switched = phase % 2 == 0 ? SwitchHeld(from, to) : SwitchRacing(from, to);
    if (!switched) return result_;
  }
  Stop();

  result_.completed = true;
  for (uint32_t type : {1u, 2u, 5u, 8u}) result_.dispatched[type] = ledger_.Dispatched(type);
  result_.clearing_lines = log_.clearing.load();
  result_.reloads_applied = log_.applied.load();
  result_.reload_failures = log_.failed.load();
  result_.unexpected_reload_failures = log_.failed_otherwise.load();
  result_.payload_failures = log_.payload_failed.load();
  result_.skipped_records = log_.skipped.load();
  result_.thread_deaths = log_.died.load();
  result_.payloads = ledger_.Payloads();
  result_.nested_payloads = ledger_.NestedPayloads();
  result_.faults = ledger_.Faults();
  return result_;
}

}  // namespace

RunResult RunStress(const RunPlan& plan) {
  StressRun run(plan);
  return run.Execute();
}

}  // namespace stress
