// Flow pass: nanoseconds per flow of one flow-map snapshot, against the floor of walking the same
// snapshot, building the same key text into a reused buffer and summing counters in a flat table.
#include <cstdio>

#include <benchmark/benchmark.h>

#include "bench_cases.h"
#include "bench_plugin.h"
#include "floor_keys.h"
#include "kpp_record_types.h"

namespace kppbench {

namespace {

struct FlowCase {
  uint32_t type;
  size_t flows;
  size_t per_key;
  bool privacy;
  // Two expressions that every flow of the snapshots passes, so that the pass does all its work
  // besides evaluating them.
  bool criteria = false;
};

std::string CaseName(const FlowCase& c) {
  return "flow/t" + std::to_string(c.type) + "/n" + std::to_string(c.flows) +
         (c.per_key == 1 ? "/insert" : "/merge") +
         (c.criteria  ? "/criteria"
          : c.privacy ? "/privacy"
                      : "/plain");
}

nlohmann::json FlowConf(const FlowCase& c) {
  nlohmann::json conf = BenchConf(c.type, c.privacy);
  if (c.criteria)
    conf["criteria"] = {"ip_protocol != 0", "bytes > 0 && (other_port != 1 || !closed)"};
  return conf;
}

void FlowPass(benchmark::State& state, const BenchOptions& options, FlowCase c) {
  Snapshot& snapshot = SharedSnapshot(options, c.flows, c.per_key);
  BenchPlugin bench(FlowConf(c));
  size_t samples = 0;
  for (auto _ : state) {
    bench.plugin().DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP,
                                          snapshot.mutable_map());
    state.PauseTiming();
    samples = bench.plugin().GetSampleCount();
    bench.DiscardSamples();
    state.ResumeTiming();
  }
  state.counters["items"] = static_cast<double>(c.flows);
  state.counters["samples"] = static_cast<double>(samples);
}

// Whether the floor builds the very keys the plugin's records carry, for the first flows.
bool FloorKeysMatch(const Snapshot& snapshot, const FlowCase& c) {
  BenchPlugin bench(BenchConf(c.type, c.privacy));
  std::string key;
  for (size_t i = 0; i < snapshot.flows().size() && i < 2000; ++i) {
    const auto& flow = snapshot.flows()[i];
    auto record = kppRecordTypeOf(c.type)->from_flow(bench.plugin().GetRecordSettings(), flow);
    if (!FloorKey(c.type, c.privacy, *flow, key)) continue;
    if (!record || record->GetKey() != key) {
      std::fprintf(stderr, "floor key %s, record key %s\n", key.c_str(),
                   record ? std::string(record->GetKey()).c_str() : "(none)");
      return false;
    }
  }
  return true;
}

void FlowFloor(benchmark::State& state, const BenchOptions& options, FlowCase c) {
  Snapshot& snapshot = SharedSnapshot(options, c.flows, c.per_key);
  if (!FloorKeysMatch(snapshot, c)) {
    state.SkipWithError("the floor's keys differ from the records' keys");
    return;
  }
  const kdFlowMap& map = snapshot.map();
  std::string key;
  FloorTable table;
  size_t samples = 0;
  for (auto _ : state) {
    for (size_t b = 0; b < map.GetBuckets(); ++b) {
      const kdFlowMap::Bucket& bucket = map.AcquireConst(b);
      for (const auto& entry : bucket) {
        const kdFlow& flow = *entry.second;
        if (!FloorKey(c.type, c.privacy, flow, key)) continue;
        FloorCounters& counters = table.Find(key);
        counters.bytes_local += flow.bytes_a;
        counters.bytes_other += flow.bytes_b;
        counters.packets += flow.packets_a + flow.packets_b;
      }
      map.Release(b);
    }
    state.PauseTiming();
    samples = table.size();
    table.clear();
    state.ResumeTiming();
  }
  state.counters["items"] = static_cast<double>(c.flows);
  state.counters["samples"] = static_cast<double>(samples);
}

}  // namespace

void RegisterFlowPass(const BenchOptions& options) {
  for (size_t flows : options.flow_sizes) {
    for (size_t per_key : {size_t{10}, size_t{1}}) {
      for (uint32_t type : options.flow_types) {
        for (const FlowCase& c :
             {FlowCase{type, flows, per_key, false}, FlowCase{type, flows, per_key, true},
              FlowCase{type, flows, per_key, false, true}}) {
          const std::string name = CaseName(c);
          benchmark::RegisterBenchmark(name.c_str(), FlowPass, options, c)
              ->UseRealTime()
              ->Unit(benchmark::kMillisecond);
          benchmark::RegisterBenchmark((name + "/floor").c_str(), FlowFloor, options, c)
              ->UseRealTime()
              ->Unit(benchmark::kMillisecond);
        }
      }
    }
  }
}

}  // namespace kppbench
