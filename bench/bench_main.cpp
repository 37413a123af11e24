// kpp_bench: the plugin's benchmarks. Own options (before the library's --benchmark_* ones):
//   --flows=N,...          flow-pass snapshot sizes        (default 10000,100000,1000000)
//   --flow-types=T,...     record types of the flow pass   (default 1,2,3,4,6,8)
//   --samples=N,...        payload-pass table sizes        (default 10000,100000,1000000)
//   --payload-types=T,...  record types of the payload pass (default 1,2,3)
//   --stall=N,...          table sizes of the intake-stall figure (default 100000,1000000)
//   --memory-types=T,...   record types of the memory figure (default 1,2,3,6)
//   --memory-samples=N     samples of the memory figure    (default 100000)
//   --flood-flows=N        flows of the flood memory figure (default 1000000; 0 leaves it out)
//   --flood-types=T,...    record types of the flood memory figure (default 1,2,3)
//   --quick                10000 flows and samples, stall at 100000: a run of a few minutes
// An empty list (--stall=) leaves that family out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_cases.h"
#include "ratio_reporter.h"

namespace kppbench {

namespace {

template <typename T>
std::vector<T> ParseList(const std::string& text) {
  std::vector<T> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) out.push_back(static_cast<T>(std::strtoull(item.c_str(), nullptr, 10)));
  }
  return out;
}

bool Option(const char* arg, const char* name, std::string& value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  value = arg + n + 1;
  return true;
}

// Takes our options out of argv; leaves the library's and the program name.
BenchOptions ParseOptions(int& argc, char** argv) {
  BenchOptions options;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string value;
    const char* arg = argv[i];
    if (Option(arg, "--flows", value)) {
      options.flow_sizes = ParseList<size_t>(value);
    } else if (Option(arg, "--flow-types", value)) {
      options.flow_types = ParseList<uint32_t>(value);
    } else if (Option(arg, "--samples", value)) {
      options.payload_sizes = ParseList<size_t>(value);
    } else if (Option(arg, "--payload-types", value)) {
      options.payload_types = ParseList<uint32_t>(value);
    } else if (Option(arg, "--stall", value)) {
      options.stall_sizes = ParseList<size_t>(value);
    } else if (Option(arg, "--memory-types", value)) {
      options.memory_types = ParseList<uint32_t>(value);
    } else if (Option(arg, "--memory-samples", value)) {
      options.memory_samples = std::strtoull(value.c_str(), nullptr, 10);
    } else if (Option(arg, "--flood-flows", value)) {
      options.flood_flows = std::strtoull(value.c_str(), nullptr, 10);
    } else if (Option(arg, "--flood-types", value)) {
      options.flood_types = ParseList<uint32_t>(value);
    } else if (std::strcmp(arg, "--quick") == 0) {
      options.flow_sizes = {10000};
      options.payload_sizes = {10000};
      options.stall_sizes = {100000};
      options.memory_samples = 10000;
      options.flood_flows = 10000;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return options;
}

}  // namespace

}  // namespace kppbench

int main(int argc, char** argv) {
  // Registration keeps references to the options: they live as long as the run.
  static kppbench::BenchOptions options = kppbench::ParseOptions(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kppbench::RegisterMemory(options);
  kppbench::RegisterFloodMemory(options);
  kppbench::RegisterFlowPass(options);
  kppbench::RegisterPayloadPass(options);
  kppbench::RegisterIntakeStall(options);
  kppbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
