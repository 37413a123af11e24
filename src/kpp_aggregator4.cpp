#include "kpp_aggregator4.h"

#include "kpp_plugin.h"
#include "kpp_record.h"

using nlohmann::json;

kppAggregator4::kppAggregator4(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppVlanPortRecord(plugin, *flow) {
  MakeKey();
}

namespace {

template <typename Address>
void BuildKey(std::string& key, uint32_t flags, uint16_t vlan_id, const Address& other_ip,
              uint16_t other_port, uint32_t application_id, uint32_t protocol_id,
              const Address& local_mac, const Address& local_ip) {
  key.clear();
  kppAppendDecimal(key, vlan_id);
  kppAppendPart(key, other_ip);
  kppAppendDecimal(key, other_port);
  kppAppendDecimal(key, application_id);
  kppAppendDecimal(key, protocol_id);
  if (flags & kppPlugin::FLAG_PRIVACY) return;
  kppAppendPart(key, local_mac);
  kppAppendPart(key, local_ip);
}

}  // namespace

void kppAggregator4::MakeKey() {
  BuildKey(key, plugin.GetFlags(), vlan_id, other_ip, other_port, application_id, protocol_id,
           local_mac, local_ip);
}

void kppAggregator4::KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildKey(key, flags, flow.vlan_id, *sides.other.ip, sides.other.ip->GetPort(true),
           flow.detected_application, flow.detected_protocol, *sides.local.mac, *sides.local.ip);
}

void kppAggregator4::Encode(json& record) const {
  EncodeShared(record);
}

void kppAggregator4::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator4&>(other);
}

kppAggregator4& kppAggregator4::operator+=(const kppAggregator4& other) {
  AddTraffic(other);
  return *this;
}
