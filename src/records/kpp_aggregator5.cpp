#include "kpp_aggregator5.h"

#include "kpp_flow_sides.h"

using nlohmann::json;

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
  packet_stats += counters;
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
  packet_stats += other.packet_stats;
  local_packets += other.local_packets;
  other_packets += other.other_packets;
  local_bytes += other.local_bytes;
  other_bytes += other.other_bytes;
  return *this;
}
