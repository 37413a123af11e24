// Synthetic flow-map snapshots for the benchmarks, deterministic by seed.
//
// Flows come in groups: every flow of a group has the same dimensions under every record type's
// key (local host, peer address and port, application, protocol, VLAN, host name, tags), and no
// two groups share a key under any type, privacy mode on or off. So "flows per key" holds for
// each record type alike: 1 gives an insert-heavy snapshot (every key new), 10 a merge-heavy one.
// Flows of a group differ in what no key reads: local port, counters and digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "korviad/kd_flow.h"

namespace kppbench {

struct SnapshotShape {
  size_t flows = 10000;
  size_t flows_per_key = 10;
  size_t buckets = 1024;
  uint64_t seed = 1;
  // One group in this many has IPv6 addresses.
  size_t ipv6_every = 10;
};

class Snapshot {
 public:
  explicit Snapshot(const SnapshotShape& shape);
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  const SnapshotShape& shape() const { return shape_; }
  const kdFlowMap& map() const { return *map_; }
  kdFlowMap* mutable_map() { return map_.get(); }
  size_t groups() const { return (shape_.flows + shape_.flows_per_key - 1) / shape_.flows_per_key; }
  // The flows in creation order (group by group).
  const std::vector<std::shared_ptr<kdFlow>>& flows() const { return flows_; }

 private:
  SnapshotShape shape_;
  std::vector<std::shared_ptr<kdFlow>> flows_;
  std::unique_ptr<kdFlowMap> map_;
};

// A flow of group `group`, the `member`-th of it; deterministic in (seed, group, member).
std::shared_ptr<kdFlow> MakeGroupFlow(uint64_t seed, size_t group, size_t member, bool ipv6,
                                      const std::shared_ptr<kdInterface>& iface);

// A well-mixed 64-bit value of x (splitmix64's finaliser).
uint64_t Mix(uint64_t x);

}  // namespace kppbench
