#include "kpp_aggregator3.h"

#include "kpp_plugin.h"

using nlohmann::json;

kppAggregator3::kppAggregator3(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppPeerDetailRecord(plugin, *flow) {
  packets = flow->packets_a + flow->packets_b;
  MakeKey();
}

void kppAggregator3::MakeKey() {
  MakePeerKey();
}

void kppAggregator3::KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  PeerKeyFromFlow(flow, flags, key);
}

void kppAggregator3::AddFlow(const kdFlow& flow) {
  AddSharedFlow(flow);
  packets += flow.packets_a + flow.packets_b;
}

void kppAggregator3::Encode(json& record) const {
  const uint32_t flags = plugin.GetFlags();
  EncodeShared(record);
  record["packets"] = packets;
  if (!(flags & kppPlugin::FLAG_NESTED))
    EncodeDimensions(record, (flags & kppPlugin::FLAG_PRIVACY) != 0);
}

void kppAggregator3::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator3&>(other);
}

kppAggregator3& kppAggregator3::operator+=(const kppAggregator3& other) {
  AddShared(other);
  packets += other.packets;
  return *this;
}
