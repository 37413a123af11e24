// Payload pass: nanoseconds per sample of encoding the sample table and serialising the payload
// as the host's json channel does, against two floors: serialising an equivalent document that
// is already built, and building that document from plain data with the fewest allocations the
// JSON library allows and serialising it.
#include <benchmark/benchmark.h>

#include "bench_cases.h"
#include "bench_plugin.h"
#include "json_channel.h"
#include "payload_floor.h"

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

// The document the pass dispatches for case c, and the number of samples behind it.
nlohmann::json DispatchedDocument(const BenchOptions& options, const PayloadCase& c,
                                  size_t& samples) {
  Snapshot& snapshot = SharedSnapshot(options, c.samples, 1);
  BenchPlugin bench(BenchConf(c.type, false, c.nested));
  JsonChannel channel(true);
  Fill(bench, snapshot);
  samples = bench.plugin().GetSampleCount();
  bench.plugin().ProcessStatsPayload();
  return channel.last();
}

void PayloadFloor(benchmark::State& state, const BenchOptions& options, PayloadCase c) {
  size_t samples = 0;
  const nlohmann::json document = DispatchedDocument(options, c, samples);
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = SerialisePayload(document);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["items"] = static_cast<double>(samples);
  state.counters["text_bytes"] = static_cast<double>(bytes);
}

void PayloadBuiltFloor(benchmark::State& state, const BenchOptions& options, PayloadCase c) {
  size_t samples = 0;
  const DocumentRecipe recipe(DispatchedDocument(options, c, samples));
  size_t bytes = 0;
  for (auto _ : state) {
    // Building, serialising and freeing the document, as the pass does.
    nlohmann::json document = recipe.Build();
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
        benchmark::RegisterBenchmark((name + "/built-floor").c_str(), PayloadBuiltFloor, options, c)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

}  // namespace kppbench
