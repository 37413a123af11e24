#include "bench_cases.h"

#include <cstdio>

namespace kppbench {

Snapshot& SharedSnapshot(const BenchOptions& options, size_t flows, size_t per_key) {
  static std::unique_ptr<Snapshot> kept;
  if (kept && kept->shape().flows == flows && kept->shape().flows_per_key == per_key) return *kept;
  kept.reset();
  SnapshotShape shape;
  shape.flows = flows;
  shape.flows_per_key = per_key;
  shape.buckets = options.buckets;
  shape.seed = options.seed;
  std::fprintf(stderr, "building a snapshot of %zu flows, %zu per key\n", flows, per_key);
  kept = std::make_unique<Snapshot>(shape);
  // A running host has read the text of its addresses before: fill their cached text.
  for (const auto& flow : kept->flows()) {
    flow->mac_a.GetString();
    flow->mac_b.GetString();
    flow->addr_a.GetString();
    flow->addr_b.GetString();
  }
  return *kept;
}

}  // namespace kppbench
