// Payload pass: nanoseconds per sample of encoding the sample table and serialising the payload
// as the host's json channel does, against the floor of serialising an equivalent document that
// is already built.
#include <benchmark/benchmark.h>

#include "bench_cases.h"
#include "bench_plugin.h"
#include "json_channel.h"

namespace kppbench {

namespace {

struct PayloadCase {
  uint32_t type;
  size_t samples;
  bool nested;
};

std::string CaseName(const PayloadCase& c) {
  return "payload/t" + std::to_string(c.type) + "/n" + std::to_string(c.samples) +
         (c.nested ? "/nested" : "/flat");
}

void Fill(BenchPlugin& bench, Snapshot& snapshot) {
  bench.plugin().DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP, snapshot.mutable_map());
}

void PayloadPass(benchmark::State& state, const BenchOptions& options, PayloadCase c) {
  Snapshot& snapshot = SharedSnapshot(options, c.samples, 1);
  BenchPlugin bench(BenchConf(c.type, false, c.nested));
  JsonChannel channel;
  size_t samples = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Fill(bench, snapshot);
    samples = bench.plugin().GetSampleCount();
    state.ResumeTiming();
    bench.plugin().ProcessStatsPayload();
  }
  state.counters["items"] = static_cast<double>(samples);
  state.counters["text_bytes"] = static_cast<double>(channel.bytes() / channel.payloads());
}

void PayloadFloor(benchmark::State& state, const BenchOptions& options, PayloadCase c) {
  Snapshot& snapshot = SharedSnapshot(options, c.samples, 1);
  nlohmann::json document;
  size_t samples = 0;
  {
    BenchPlugin bench(BenchConf(c.type, false, c.nested));
    JsonChannel channel(true);
    Fill(bench, snapshot);
    samples = bench.plugin().GetSampleCount();
    bench.plugin().ProcessStatsPayload();
    document = channel.last();
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = SerialisePayload(document);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["items"] = static_cast<double>(samples);
  state.counters["text_bytes"] = static_cast<double>(bytes);
}

}  // namespace

void RegisterPayloadPass(const BenchOptions& options) {
  for (size_t samples : options.payload_sizes) {
    for (uint32_t type : options.payload_types) {
      for (bool nested : {false, true}) {
        PayloadCase c{type, samples, nested};
        const std::string name = CaseName(c);
        benchmark::RegisterBenchmark(name.c_str(), PayloadPass, options, c)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((name + "/floor").c_str(), PayloadFloor, options, c)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

}  // namespace kppbench
