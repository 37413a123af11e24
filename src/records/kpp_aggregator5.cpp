#include "kpp_aggregator5.h"

#include "kpp_flow_sides.h"

using nlohmann::json;

namespace {

// The record knows every counter it sums: a field added to the host's statistics must be added
// here too (a virtual table pointer, seven 64-bit counters, the 32-bit largest packet, nineteen
// 64-bit counters).
static_assert(sizeof(kdPacketStats) == 8 + 7 * 8 + 8 + 19 * 8,
              "kdPacketStats has changed: sum its new counters in AddPacketStats");

// sum += add: every 64-bit counter (wrapping), the larger of the two largest packets.
void AddPacketStats(kdPacketStats& sum, const kdPacketStats& add) {
  sum.raw += add.raw;
  sum.ethernet += add.ethernet;
  sum.mpls += add.mpls;
  sum.pppoe += add.pppoe;
  sum.vlan += add.vlan;
  sum.fragmented += add.fragmented;
  sum.discarded += add.discarded;
  if (add.largest_bytes > sum.largest_bytes) sum.largest_bytes = add.largest_bytes;
  sum.ip += add.ip;
  sum.ip4 += add.ip4;
  sum.ip6 += add.ip6;
  sum.icmp += add.icmp;
  sum.igmp += add.igmp;
  sum.tcp += add.tcp;
  sum.tcp_seq_errors += add.tcp_seq_errors;
  sum.tcp_resets += add.tcp_resets;
  sum.udp += add.udp;
  sum.ip_bytes += add.ip_bytes;
  sum.ip4_bytes += add.ip4_bytes;
  sum.ip6_bytes += add.ip6_bytes;
  sum.wire_bytes += add.wire_bytes;
  sum.discarded_bytes += add.discarded_bytes;
  sum.queue_dropped += add.queue_dropped;
  sum.capture_dropped += add.capture_dropped;
  sum.capture_filtered += add.capture_filtered;
  sum.flow_dropped += add.flow_dropped;
  sum.flow_evicted += add.flow_evicted;
}

}  // namespace

kppAggregator5::kppAggregator5(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow) {
  // A flow without an interface record still counts, under the empty name.
  if (flow->iface) iface = flow->iface->name;
  AddFlow(*flow);
  MakeKey(settings);
}

kppAggregator5::kppAggregator5(const kppRecordSettings& settings, const std::string& iface,
                               const kdPacketStats& counters)
    : iface(iface) {
  AddPacketStats(packet_stats, counters);
  MakeKey(settings);
}

void kppAggregator5::MakeKey(const kppRecordSettings& /*settings*/) {
  key = iface;
}

void kppAggregator5::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& /*settings*/,
                                 std::string& key) {
  key.clear();
  if (flow.iface) key = flow.iface->name;
}

void kppAggregator5::AddFlow(const kdFlow& flow) {
  const kppSides sides = kppSelectSides(flow, flow.endpoint_map != 1);
  local_packets += sides.local.packets;
  other_packets += sides.other.packets;
  local_bytes += sides.local.bytes;
  other_bytes += sides.other.bytes;
}

void kppAggregator5::Encode(json& record, const kppRecordSettings& /*settings*/) const {
  record["ifname"] = iface;
  record["local_packets"] = local_packets;
  record["other_packets"] = other_packets;
  record["local_bytes"] = local_bytes;
  record["other_bytes"] = other_bytes;
  packet_stats.Encode(record);
}

kppNestedPath kppAggregator5::NestedPath(const kppRecordSettings& /*settings*/) const {
  return kppNestedPath{iface};
}

void kppAggregator5::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator5&>(other);
}

kppAggregator5& kppAggregator5::operator+=(const kppAggregator5& other) {
  AddPacketStats(packet_stats, other.packet_stats);
  local_packets += other.local_packets;
  other_packets += other.other_packets;
  local_bytes += other.local_bytes;
  other_bytes += other.other_bytes;
  return *this;
}
