#include "kpp_aggregator6.h"

#include "kpp_plugin.h"

using nlohmann::json;

kppAggregator6::kppAggregator6(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppPeerDetailRecord(plugin, *flow) {
  const kppSides sides = kppPeerSides(*flow);
  local_packets = sides.local.packets;
  other_packets = sides.other.packets;
  application_category = flow->application_category;
  protocol_category = flow->protocol_category;
  tags = flow->tags;
  MakeKey();
}

namespace {

// The key by overlay: the tags in order, then local MAC and peer IP (not in privacy mode).
template <typename Address>
void BuildOverlayKey(std::string& key, uint32_t flags, const std::set<std::string>& tags,
                     const Address& local_mac, const Address& other_ip) {
  key.clear();
  for (const std::string& tag : tags) kppAppendPart(key, tag);
  if (flags & kppPlugin::FLAG_PRIVACY) return;
  kppAppendPart(key, local_mac);
  kppAppendPart(key, other_ip);
}

}  // namespace

void kppAggregator6::MakeKey() {
  const uint32_t flags = plugin.GetFlags();
  if (!(flags & kppPlugin::FLAG_KEY_BY_OVERLAY)) {
    MakePeerKey();
    return;
  }
  BuildOverlayKey(key, flags, tags, local_mac, other_ip);
}

void kppAggregator6::KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  if (!(flags & kppPlugin::FLAG_KEY_BY_OVERLAY)) {
    PeerKeyFromFlow(flow, flags, key);
    return;
  }
  const kppSides sides = kppPeerSides(flow);
  BuildOverlayKey(key, flags, flow.tags, *sides.local.mac, *sides.other.ip);
}

void kppAggregator6::AddFlow(const kdFlow& flow) {
  AddSharedFlow(flow);
  const kppSides sides = kppPeerSides(flow);
  local_packets += sides.local.packets;
  other_packets += sides.other.packets;
}

void kppAggregator6::Encode(json& record) const {
  const uint32_t flags = plugin.GetFlags();
  EncodeShared(record);
  record["local_packets"] = local_packets;
  record["other_packets"] = other_packets;
  record["tags"] = tags;
  if (flags & (kppPlugin::FLAG_NESTED | kppPlugin::FLAG_KEY_BY_OVERLAY)) return;
  EncodeDimensions(record, (flags & kppPlugin::FLAG_PRIVACY) != 0);
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
