#include "kpp_peer_detail_record.h"

#include "kpp_flow_sides.h"
#include "kpp_record_key.h"

using nlohmann::json;

namespace {

template <typename Address, typename Label>
void BuildPeerKey(std::string& key, const kppRecordSettings& settings, uint32_t ip_protocol,
                  const Address& local_mac, const Address& local_ip, const Address& other_ip,
                  const Label& application, const std::string& protocol_name) {
  key.clear();
  kppAppendKeyNumber(key, ip_protocol);
  if (!settings.privacy) {
    kppAppendKeyPart(key, local_mac);
    kppAppendKeyPart(key, local_ip);
  }
  kppAppendKeyPart(key, other_ip);
  kppAppendKeyPart(key, application);
  kppAppendKeyPart(key, protocol_name);
}

}  // namespace

kppPeerDetailRecord::kppPeerDetailRecord(const kdFlow& flow) {
  const kppSides sides = kppPeerSides(flow);
  local_mac = kppAddressText(*sides.local.mac);
  local_ip = kppAddressText(*sides.local.ip);
  other_ip = kppAddressText(*sides.other.ip);
  other_port = sides.other.ip->GetPort(true);
  local_origin = kppLocalOrigin(flow);
  if (flow.iface) {
    internal = flow.iface->role == kdInterface::kRoleInternal;
    interface = flow.iface->name;
  }
  other_type = kppOtherTypeWord(flow.other_type);
  detected_application = flow.detected_application;
  detected_protocol = flow.detected_protocol;
  detected_protocol_name = flow.detected_protocol_name;
  detected_application_name = kppApplicationLabel(flow);
  ip_version = flow.ip_version;
  ip_protocol = flow.ip_protocol;
}

void kppPeerDetailRecord::MakePeerKey(const kppRecordSettings& settings) {
  BuildPeerKey(key, settings, ip_protocol, local_mac, local_ip, other_ip, detected_application_name,
               detected_protocol_name);
}

void kppPeerDetailRecord::PeerKeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                          std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildPeerKey(key, settings, flow.ip_protocol, *sides.local.mac, *sides.local.ip, *sides.other.ip,
               kppFlowLabel{flow}, flow.detected_protocol_name);
}

void kppPeerDetailRecord::EncodeShared(json& record) const {
  record["digests"] = digests.ToJson();
  record["interface"] = interface;
  record["internal"] = internal;
  record["ip_protocol"] = ip_protocol;
  record["ip_version"] = ip_version;
  record["local_bytes"] = local_bytes;
  record["local_origin"] = local_origin;
  record["other_bytes"] = other_bytes;
  record["other_port"] = other_port;
  record["other_type"] = other_type;
}

void kppPeerDetailRecord::EncodeDimensions(json& record, bool privacy) const {
  record["detected_application"] = detected_application;
  record["detected_application_name"] = detected_application_name;
  record["other_ip"] = other_ip;
  record["detected_protocol"] = detected_protocol;
  record["detected_protocol_name"] = detected_protocol_name;
  if (privacy) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

kppNestedPath kppPeerDetailRecord::NestedPath(const kppRecordSettings& settings) const {
  kppNestedPath path;
  if (!settings.privacy) path = {local_mac, local_ip};
  for (const std::string* level : {&other_ip, &detected_application_name, &detected_protocol_name})
    path.Add(*level);
  return path;
}

void kppPeerDetailRecord::AddShared(const kppPeerDetailRecord& other) {
  local_bytes += other.local_bytes;
  other_bytes += other.other_bytes;
  digests.Merge(other.digests);
}

void kppPeerDetailRecord::AddSharedFlow(const kdFlow& flow) {
  const kppSides sides = kppPeerSides(flow);
  local_bytes += sides.local.bytes;
  other_bytes += sides.other.bytes;
  digests.InsertLastOf(flow);
}
