// What the stress host delivers, and the amounts the plugin must report for it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "korviad/korviad.h"

namespace stress {

// The packet-statistics counters that are summed when written (every keyed one but
// "largest_bytes", which is kept as a maximum).
const std::vector<std::string>& SummedStatsKeys();

// Amounts of traffic, as delivered or as reported. Bytes and packets are summed over flows;
// counters over packet-statistics events.
struct Traffic {
  uint64_t bytes = 0;
  uint64_t packets = 0;
  std::map<std::string, uint64_t> counters;
  uint64_t largest = 0;

  Traffic& operator+=(const Traffic& other);
  bool operator==(const Traffic& other) const;
  bool operator!=(const Traffic& other) const { return !(*this == other); }
};

std::string Describe(const Traffic& traffic);

// The record types the stress runs use, and amounts per record type.
constexpr uint32_t kStressTypes[] = {1, 2, 5, 8};
using TypedTraffic = std::map<uint32_t, Traffic>;

// The criteria every stress configuration carries: only TCP flows count. Each variant is written
// differently but selects the same flows, since every delivered flow is TCP or UDP.
const std::vector<std::vector<std::string>>& CriteriaVariants();

// Whether a plugin aggregating record type `type` under CriteriaVariants() must count flow.
bool Accepted(const kdFlow& flow, uint32_t type);
// What a counted flow adds: both directions' bytes and packets.
Traffic FlowTraffic(const kdFlow& flow);

// A host's flows and interface statistics, drawn at random from a small space of dimensions so
// that records merge. Not thread-safe: one per delivering thread.
class TrafficSource {
 public:
  explicit TrafficSource(uint64_t seed);

  // A flow-map snapshot of `count` flows in `buckets` buckets, some of which the plugin must
  // reject; adds to counted[type] what a plugin of each of kStressTypes must count.
  std::unique_ptr<kdFlowMap> Snapshot(size_t count, size_t buckets, TypedTraffic& counted);
  // One flow that every record type counts, with the given amounts.
  std::shared_ptr<kdFlow> CountedFlow(uint64_t bytes, uint32_t packets);
  // Packet statistics for one interface event; adds them to `delivered`.
  kdPacketStats Stats(std::string& iface, Traffic& delivered);
  // A translated flow, as single-flow events carry them.
  std::shared_ptr<kdFlow> NatFlow();

 private:
  std::shared_ptr<kdFlow> RandomFlow();
  uint64_t Below(uint64_t bound) { return rng_() % bound; }

  std::mt19937_64 rng_;
  std::vector<std::shared_ptr<kdInterface>> ifaces_;
  std::vector<std::shared_ptr<kdFlow>> pool_;
};

}  // namespace stress
