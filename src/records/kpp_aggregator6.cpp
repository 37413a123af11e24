#include "kpp_aggregator6.h"

#include "kpp_flow_sides.h"
#include "kpp_record_key.h"

using nlohmann::json;

kppAggregator6::kppAggregator6(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow)
    : kppPeerDetailRecord(*flow) {
  application_category = flow->application_category;
  protocol_category = flow->protocol_category;
  tags = flow->tags;
  AddFlow(*flow);
  MakeKey(settings);
}

namespace {

// The key by overlay: the number of tags (marked, so that it can never read as a default key's
// first part), the tags in order, then local MAC and peer IP (not in privacy mode).
template <typename Address>
void BuildOverlayKey(std::string& key, const kppRecordSettings& settings,
                     const std::set<std::string>& tags, const Address& local_mac,
                     const Address& other_ip) {
  key.clear();
  key += '#';
  kppAppendDecimal(key, tags.size());
  kppEndKeyPart(key, 0);
  for (const std::string& tag : tags) kppAppendKeyPart(key, tag);
  if (settings.privacy) return;
  kppAppendKeyPart(key, local_mac);
  kppAppendKeyPart(key, other_ip);
}

}  // namespace

void kppAggregator6::MakeKey(const kppRecordSettings& settings) {
  if (!settings.key_by_overlay) {
    MakePeerKey(settings);
    return;
  }
  BuildOverlayKey(key, settings, tags, local_mac, other_ip);
}

void kppAggregator6::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                 std::string& key) {
  if (!settings.key_by_overlay) {
    PeerKeyFromFlow(flow, settings, key);
    return;
  }
  const kppSides sides = kppPeerSides(flow);
  BuildOverlayKey(key, settings, flow.tags, *sides.local.mac, *sides.other.ip);
}

void kppAggregator6::AddFlow(const kdFlow& flow) {
  AddSharedFlow(flow);
  const kppSides sides = kppPeerSides(flow);
  local_packets += sides.local.packets;
  other_packets += sides.other.packets;
}

void kppAggregator6::Encode(json& record, const kppRecordSettings& settings) const {
  EncodeShared(record);
  record["local_packets"] = local_packets;
  record["other_packets"] = other_packets;
  record["tags"] = tags;
  if (settings.nested || settings.key_by_overlay) return;
  EncodeDimensions(record, settings.privacy);
  record["application_category"] = application_category;
  record["protocol_category"] = protocol_category;
}

void kppAggregator6::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator6&>(other);
}

kppAggregator6& kppAggregator6::operator+=(const kppAggregator6& other) {
  AddShared(other);
  local_packets += other.local_packets;
  other_packets += other.other_packets;
  return *this;
}
