// Intake stall: while the worker's payload pass runs over a full sample table, a host thread keeps
// delivering one-flow snapshots. Reported: the longest wait of that thread for the plugin lock,
// and the longest delivery of one flow, during the pass and, for comparison, with no pass
// running for as long.
//
// The delivering thread runs at real-time priority where the system allows it (counter
// "realtime"), so that what it measures is time spent blocked on the lock rather than time
// spent preempted by whatever else runs on a shared machine; it pauses between deliveries so as
// not to take a core away from everything else meanwhile.
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench_cases.h"
#include "bench_plugin.h"
#include "json_channel.h"

namespace kppbench {

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// A host thread delivering one flow again and again until stopped.
class Intake {
 public:
  Intake(kppPlugin& plugin, kdFlowMap& map) : plugin_(plugin), map_(map) {
    thread_ = std::thread([this] { Run(); });
    while (!started_.load()) std::this_thread::yield();
  }
  ~Intake() {
    stop_.store(true);
    thread_.join();
  }
  Intake(const Intake&) = delete;
  Intake& operator=(const Intake&) = delete;

  // Figures are taken only between Start and Stop.
  void Start() { measuring_.store(true); }
  void Stop() { measuring_.store(false); }
  double max_lock_wait_us() const { return max_lock_wait_us_.load(); }
  double max_delivery_us() const { return max_delivery_us_.load(); }
  uint64_t deliveries() const { return deliveries_.load(); }
  bool realtime() const { return realtime_.load(); }

 private:
  static void Raise(std::atomic<double>& max, double value) {
    double seen = max.load();
    while (value > seen && !max.compare_exchange_weak(seen, value)) {
    }
  }

  void Run() {
    sched_param param{};
    param.sched_priority = 1;
    realtime_.store(pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0);
    started_.store(true);
    const timespec pause{0, 20000};
    while (!stop_.load()) {
      const bool measuring = measuring_.load();
      const Clock::time_point t0 = Clock::now();
      plugin_.Lock();
      const Clock::time_point t1 = Clock::now();
      plugin_.Unlock();
      plugin_.DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP, &map_);
      const Clock::time_point t2 = Clock::now();
      if (measuring && measuring_.load()) {
        Raise(max_lock_wait_us_, Micros(t1 - t0));
        Raise(max_delivery_us_, Micros(t2 - t1));
        deliveries_.fetch_add(1);
      }
      nanosleep(&pause, nullptr);
    }
  }

  kppPlugin& plugin_;
  kdFlowMap& map_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> measuring_{false};
  std::atomic<double> max_lock_wait_us_{0};
  std::atomic<double> max_delivery_us_{0};
  std::atomic<uint64_t> deliveries_{0};
  std::atomic<bool> realtime_{false};
  std::thread thread_;
};

void IntakeStall(benchmark::State& state, const BenchOptions& options, size_t samples) {
  Snapshot& snapshot = SharedSnapshot(options, samples, 1);
  BenchPlugin bench(BenchConf(1, false));
  JsonChannel channel;
  // The flow the host thread delivers: of a group the snapshot does not have.
  kdFlowMap one(1);
  auto iface = std::make_shared<kdInterface>();
  one.Acquire(0)[1] = MakeGroupFlow(options.seed, samples + 1, 0, false, iface);
  one.Release(0);

  double lock_wait = 0, delivery = 0, idle_lock_wait = 0, idle_delivery = 0;
  uint64_t deliveries = 0;
  bool realtime = true;
  for (auto _ : state) {
    state.PauseTiming();
    bench.plugin().DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP,
                                          snapshot.mutable_map());
    Intake intake(bench.plugin(), one);
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    intake.Start();
    bench.plugin().ProcessStatsPayload();
    intake.Stop();
    const Clock::duration pass = Clock::now() - start;
    state.PauseTiming();
    lock_wait = std::max(lock_wait, intake.max_lock_wait_us());
    delivery = std::max(delivery, intake.max_delivery_us());
    deliveries += intake.deliveries();
    realtime = realtime && intake.realtime();
    {
      // The same thread for as long again with no pass running.
      Intake idle(bench.plugin(), one);
      idle.Start();
      std::this_thread::sleep_for(pass);
      idle.Stop();
      idle_lock_wait = std::max(idle_lock_wait, idle.max_lock_wait_us());
      idle_delivery = std::max(idle_delivery, idle.max_delivery_us());
    }
    bench.plugin().ProcessStatsPayload();
    state.ResumeTiming();
  }
  state.counters["items"] = static_cast<double>(samples);
  state.counters["max_lock_wait_us"] = lock_wait;
  state.counters["max_delivery_us"] = delivery;
  state.counters["idle_max_lock_wait_us"] = idle_lock_wait;
  state.counters["idle_max_delivery_us"] = idle_delivery;
  state.counters["deliveries_during_pass"] = static_cast<double>(deliveries);
  state.counters["realtime"] = realtime ? 1 : 0;
}

}  // namespace

void RegisterIntakeStall(const BenchOptions& options) {
  for (size_t samples : options.stall_sizes) {
    const std::string name = "stall/t1/n" + std::to_string(samples);
    benchmark::RegisterBenchmark(name.c_str(), IntakeStall, options, samples)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
  }
}

}  // namespace kppbench
