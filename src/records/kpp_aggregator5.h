// Record type 5: statistics per capture interface.
//
// One sample per interface name joins two inputs: the byte and packet totals of the flows seen on
// the interface, and the host's packet-statistics events for it. A record built from a flow has
// zero packet statistics; one built from an event has zero flow counters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"
#include "kpp_aggregator.h"

class kppAggregator5 : public kppAggregator {
 public:
  static constexpr uint32_t kType = 5;

  // From a flow. Endpoint B's counts are the local ones when endpoint_map is 1, endpoint A's
  // otherwise: the reverse of the other flow records, and what consumers of this record expect.
  kppAggregator5(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);
  // From a packet-statistics event for the interface named iface.
  kppAggregator5(const kppRecordSettings& settings, const std::string& iface,
                 const kdPacketStats& counters);

  // The key is the interface name.
  void MakeKey(const kppRecordSettings& settings) override;
  // Writes "ifname", the four flow counters and the packet statistics; the same in both forms.
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  // A member of stats named after the interface: keys are names, so no two samples meet.
  kppNestedPath NestedPath(const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's packet statistics (the larger "largest_bytes" is kept) and flow counters; the
  // packet counters wrap at 2^32.
  kppAggregator5& operator+=(const kppAggregator5& other);

  // The key a record built from flow would have (the settings do not shape it), and the flow
  // counters such a record holds (the constructor starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow);

  std::string iface;
  kdPacketStats packet_stats;
  uint32_t local_packets = 0;
  uint32_t other_packets = 0;
  uint64_t local_bytes = 0;
  uint64_t other_bytes = 0;
};
