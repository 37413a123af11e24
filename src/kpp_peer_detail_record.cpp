#include "kpp_peer_detail_record.h"

#include "kpp_plugin.h"

using nlohmann::json;

namespace {

template <typename Address, typename Label>
void BuildPeerKey(std::string& key, uint32_t flags, uint32_t ip_protocol, const Address& local_mac,
                  const Address& local_ip, const Address& other_ip, const Label& application,
                  const std::string& protocol_name) {
  key.clear();
  kppAppendDecimal(key, ip_protocol);
  if (!(flags & kppPlugin::FLAG_PRIVACY)) {
    kppAppendPart(key, local_mac);
    kppAppendPart(key, local_ip);
  }
  kppAppendPart(key, other_ip);
  kppAppendPart(key, application);
  kppAppendPart(key, protocol_name);
}

}  // namespace

kppPeerDetailRecord::kppPeerDetailRecord(const kppPlugin& plugin, const kdFlow& flow)
    : kppAggregator(plugin) {
  const kppSides sides = kppPeerSides(flow);
  local_mac = kppAddressText(*sides.local.mac);
  local_ip = kppAddressText(*sides.local.ip);
  other_ip = kppAddressText(*sides.other.ip);
  local_bytes = sides.local.bytes;
  other_bytes = sides.other.bytes;
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
  digests.InsertLastOf(flow);
}

void kppPeerDetailRecord::MakePeerKey() {
  BuildPeerKey(key, plugin.GetFlags(), ip_protocol, local_mac, local_ip, other_ip,
               detected_application_name, detected_protocol_name);
}

void kppPeerDetailRecord::PeerKeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildPeerKey(key, flags, flow.ip_protocol, *sides.local.mac, *sides.local.ip, *sides.other.ip,
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

bool kppPeerDetailRecord::Append(json& stats) const {
  json record;
  Encode(record);
  const uint32_t flags = plugin.GetFlags();
  if (!(flags & kppPlugin::FLAG_NESTED)) {
    kppAppendRow(stats, std::move(record));
    return true;
  }
  kppNestedPath path;
  if (!(flags & kppPlugin::FLAG_PRIVACY)) path = {local_mac, local_ip};
  for (const std::string* level : {&other_ip, &detected_application_name, &detected_protocol_name})
    path.Add(*level);
  return kppPlaceNested(stats, path, std::move(record));
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
