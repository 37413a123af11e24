#include "kpp_aggregator3.h"

using nlohmann::json;

kppAggregator3::kppAggregator3(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow)
    : kppPeerDetailRecord(*flow) {
  AddFlow(*flow);
  MakeKey(settings);
}

void kppAggregator3::MakeKey(const kppRecordSettings& settings) {
  MakePeerKey(settings);
}

void kppAggregator3::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                 std::string& key) {
  PeerKeyFromFlow(flow, settings, key);
}

void kppAggregator3::AddFlow(const kdFlow& flow) {
  AddSharedFlow(flow);
  packets += flow.packets_a + flow.packets_b;
}

void kppAggregator3::Encode(json& record, const kppRecordSettings& settings) const {
  EncodeShared(record);
  record["packets"] = packets;
  if (!settings.nested) EncodeDimensions(record, settings.privacy);
}

void kppAggregator3::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator3&>(other);
}

kppAggregator3& kppAggregator3::operator+=(const kppAggregator3& other) {
  AddShared(other);
  packets += other.packets;
  return *this;
}
