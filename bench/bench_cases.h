// What a benchmark run covers, and the registration of each family of benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_snapshot.h"

namespace kppbench {

struct BenchOptions {
  std::vector<size_t> flow_sizes{10000, 100000, 1000000};
  std::vector<uint32_t> flow_types{1, 2, 3, 4, 6, 8};
  std::vector<size_t> payload_sizes{10000, 100000, 1000000};
  std::vector<uint32_t> payload_types{1, 2, 3};
  std::vector<size_t> stall_sizes{100000, 1000000};
  std::vector<uint32_t> memory_types{1, 2, 3, 6};
  size_t memory_samples = 100000;
  size_t flood_flows = 1000000;  // 0: no flood memory figure
  std::vector<uint32_t> flood_types{1, 2, 3};
  size_t buckets = 1024;
  uint64_t seed = 1;
};

// The snapshot of `flows` flows, `per_key` to a key, built on first use; one is kept at a time,
// so benchmarks on the same snapshot should be registered one after another.
Snapshot& SharedSnapshot(const BenchOptions& options, size_t flows, size_t per_key);

void RegisterFlowPass(const BenchOptions& options);
void RegisterPayloadPass(const BenchOptions& options);
void RegisterIntakeStall(const BenchOptions& options);
void RegisterMemory(const BenchOptions& options);
void RegisterFloodMemory(const BenchOptions& options);

}  // namespace kppbench
