#include "kpp_aggregator8.h"

#include "kpp_plugin.h"
#include "kpp_record.h"

using nlohmann::json;

namespace {

// The parts after the VLAN, each after a ":".
template <typename Address>
void BuildKey(std::string& key, uint32_t flags, uint16_t vlan_id, const Address& other_ip,
              uint16_t other_port, uint32_t application_id, uint32_t protocol_id,
              const std::string& hostname, const Address& local_mac, const Address& local_ip) {
  key.clear();
  kppAppendDecimal(key, vlan_id);
  key += ':';
  kppAppendPart(key, other_ip);
  key += ':';
  kppAppendDecimal(key, other_port);
  key += ':';
  kppAppendDecimal(key, application_id);
  key += ':';
  kppAppendDecimal(key, protocol_id);
  key += ':';
  kppAppendPart(key, hostname);
  if (flags & kppPlugin::FLAG_PRIVACY) return;
  key += ':';
  kppAppendPart(key, local_mac);
  key += ':';
  kppAppendPart(key, local_ip);
}

const std::string& HostnameOf(const kdFlow& flow) {
  return flow.preferred_host_name.empty() ? flow.host_name : flow.preferred_host_name;
}

}  // namespace

kppAggregator8::kppAggregator8(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppVlanPortRecord(plugin, *flow) {
  hostname = HostnameOf(*flow);
  MakeKey();
}

void kppAggregator8::MakeKey() {
  BuildKey(key, plugin.GetFlags(), vlan_id, other_ip, other_port, application_id, protocol_id,
           hostname, local_mac, local_ip);
}

void kppAggregator8::KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildKey(key, flags, flow.vlan_id, *sides.other.ip, sides.other.ip->GetPort(true),
           flow.detected_application, flow.detected_protocol, HostnameOf(flow), *sides.local.mac,
           *sides.local.ip);
}

void kppAggregator8::Encode(json& record) const {
  EncodeShared(record);
  if (!(plugin.GetFlags() & kppPlugin::FLAG_NESTED)) record["hostname"] = hostname;
}

void kppAggregator8::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator8&>(other);
}

kppAggregator8& kppAggregator8::operator+=(const kppAggregator8& other) {
  AddTraffic(other);
  return *this;
}
