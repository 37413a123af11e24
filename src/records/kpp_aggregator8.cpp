#include "kpp_aggregator8.h"

#include "kpp_flow_sides.h"
#include "kpp_record_key.h"

using nlohmann::json;

namespace {

template <typename Address>
void BuildKey(std::string& key, const kppRecordSettings& settings, uint16_t vlan_id,
              const Address& other_ip, uint16_t other_port, uint32_t application_id,
              uint32_t protocol_id, const std::string& hostname, const Address& local_mac,
              const Address& local_ip) {
  key.clear();
  kppAppendKeyNumber(key, vlan_id);
  kppAppendKeyPart(key, other_ip);
  kppAppendKeyNumber(key, other_port);
  kppAppendKeyNumber(key, application_id);
  kppAppendKeyNumber(key, protocol_id);
  kppAppendKeyPart(key, hostname);
  if (settings.privacy) return;
  kppAppendKeyPart(key, local_mac);
  kppAppendKeyPart(key, local_ip);
}

const std::string& HostnameOf(const kdFlow& flow) {
  return flow.preferred_host_name.empty() ? flow.host_name : flow.preferred_host_name;
}

}  // namespace

kppAggregator8::kppAggregator8(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow)
    : kppVlanPortRecord(*flow) {
  hostname = HostnameOf(*flow);
  AddFlow(*flow);
  MakeKey(settings);
}

void kppAggregator8::MakeKey(const kppRecordSettings& settings) {
  BuildKey(key, settings, vlan_id, other_ip, other_port, application_id, protocol_id, hostname,
           local_mac, local_ip);
}

void kppAggregator8::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                 std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildKey(key, settings, flow.vlan_id, *sides.other.ip, sides.other.ip->GetPort(true),
           flow.detected_application, flow.detected_protocol, HostnameOf(flow), *sides.local.mac,
           *sides.local.ip);
}

void kppAggregator8::Encode(json& record, const kppRecordSettings& settings) const {
  EncodeShared(record, settings);
  if (!settings.nested) record["hostname"] = hostname;
}

void kppAggregator8::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator8&>(other);
}

kppAggregator8& kppAggregator8::operator+=(const kppAggregator8& other) {
  AddTraffic(other);
  return *this;
}
