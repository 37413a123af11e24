// Memory per sample: bytes the allocator reports in use for a sample table of N samples (each
// flow of an insert-heavy snapshot a sample), divided by N.
#include <malloc.h>

#include <benchmark/benchmark.h>

#include "bench_cases.h"
#include "bench_plugin.h"

namespace kppbench {

namespace {

// Bytes handed out by the allocator: small chunks and the separately mapped large ones.
size_t InUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void MemoryPerSample(benchmark::State& state, const BenchOptions& options, uint32_t type) {
  Snapshot& snapshot = SharedSnapshot(options, options.memory_samples, 1);
  BenchPlugin bench(BenchConf(type, false));
  double per_sample = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const size_t before = InUse();
    state.ResumeTiming();
    bench.plugin().DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP,
                                          snapshot.mutable_map());
    state.PauseTiming();
    const size_t after = InUse();
    const size_t samples = bench.plugin().GetSampleCount();
    per_sample = static_cast<double>(after - before) / static_cast<double>(samples);
    bench.DiscardSamples();
    state.ResumeTiming();
  }
  state.counters["items"] = static_cast<double>(options.memory_samples);
  state.counters["bytes_per_sample"] = per_sample;
}

}  // namespace

void RegisterMemory(const BenchOptions& options) {
  for (uint32_t type : options.memory_types) {
    const std::string name =
        "memory/t" + std::to_string(type) + "/n" + std::to_string(options.memory_samples);
    benchmark::RegisterBenchmark(name.c_str(), MemoryPerSample, options, type)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(2);
  }
}

}  // namespace kppbench
