#include "kpp_peer_detail_record.h"

#include "kpp_plugin.h"

using nlohmann::json;

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
  key.clear();
  kppAppendDecimal(key, ip_protocol);
  if (!(plugin.GetFlags() & kppPlugin::FLAG_PRIVACY)) {
    key += local_mac;
    key += local_ip;
  }
  key += other_ip;
  key += detected_application_name;
  key += detected_protocol_name;
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
  path.insert(path.end(), {other_ip, detected_application_name, detected_protocol_name});
  return kppPlaceNested(stats, path, std::move(record));
}

void kppPeerDetailRecord::AddShared(const kppPeerDetailRecord& other) {
  local_bytes += other.local_bytes;
  other_bytes += other.other_bytes;
  digests.Merge(other.digests);
}
