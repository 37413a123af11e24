#include "kpp_aggregator4.h"

#include "kpp_flow_sides.h"
#include "kpp_record_key.h"

using nlohmann::json;

kppAggregator4::kppAggregator4(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow)
    : kppVlanPortRecord(*flow) {
  AddFlow(*flow);
  MakeKey(settings);
}

namespace {

template <typename Address>
void BuildKey(std::string& key, const kppRecordSettings& settings, uint16_t vlan_id,
              const Address& other_ip, uint16_t other_port, uint32_t application_id,
              uint32_t protocol_id, const Address& local_mac, const Address& local_ip) {
  key.clear();
  kppAppendKeyNumber(key, vlan_id);
  kppAppendKeyPart(key, other_ip);
  kppAppendKeyNumber(key, other_port);
  kppAppendKeyNumber(key, application_id);
  kppAppendKeyNumber(key, protocol_id);
  if (settings.privacy) return;
  kppAppendKeyPart(key, local_mac);
  kppAppendKeyPart(key, local_ip);
}

}  // namespace

void kppAggregator4::MakeKey(const kppRecordSettings& settings) {
  BuildKey(key, settings, vlan_id, other_ip, other_port, application_id, protocol_id, local_mac,
           local_ip);
}

void kppAggregator4::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                 std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildKey(key, settings, flow.vlan_id, *sides.other.ip, sides.other.ip->GetPort(true),
           flow.detected_application, flow.detected_protocol, *sides.local.mac, *sides.local.ip);
}

void kppAggregator4::Encode(json& record, const kppRecordSettings& settings) const {
  EncodeShared(record, settings);
}

void kppAggregator4::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator4&>(other);
}

kppAggregator4& kppAggregator4::operator+=(const kppAggregator4& other) {
  AddTraffic(other);
  return *this;
}
