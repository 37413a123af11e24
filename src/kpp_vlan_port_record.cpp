#include "kpp_vlan_port_record.h"

#include "kpp_plugin.h"
#include "kpp_record.h"

using nlohmann::json;

kppVlanPortRecord::kppVlanPortRecord(const kppPlugin& plugin, const kdFlow& flow)
    : kppAggregator(plugin) {
  const kppSides sides = kppPeerSides(flow);
  local_mac = kppAddressText(*sides.local.mac);
  local_ip = kppAddressText(*sides.local.ip);
  other_ip = kppAddressText(*sides.other.ip);
  download = sides.other.bytes;
  upload = sides.local.bytes;
  other_port = sides.other.ip->GetPort(true);
  packets = flow.packets_a + flow.packets_b;
  application_id = flow.detected_application;
  protocol_id = flow.detected_protocol;
  ip_version = flow.ip_version;
  ip_protocol = flow.ip_protocol;
  vlan_id = flow.vlan_id;
}

void kppVlanPortRecord::EncodeShared(json& record) const {
  const uint32_t flags = plugin.GetFlags();
  record["vlan_id"] = vlan_id;
  record["ip_protocol"] = ip_protocol;
  record["ip_version"] = ip_version;
  record["download"] = download;
  record["upload"] = upload;
  record["other_port"] = other_port;
  record["packets"] = packets;
  if (flags & kppPlugin::FLAG_NESTED) return;
  record["application_id"] = application_id;
  record["other_ip"] = other_ip;
  record["protocol_id"] = protocol_id;
  if (flags & kppPlugin::FLAG_PRIVACY) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

bool kppVlanPortRecord::Append(json& stats) const {
  json record;
  Encode(record);
  const uint32_t flags = plugin.GetFlags();
  if (!(flags & kppPlugin::FLAG_NESTED)) {
    kppAppendRow(stats, std::move(record));
    return true;
  }
  kppNestedPath path{kppNestedLevel::At(vlan_id)};
  if (!(flags & kppPlugin::FLAG_PRIVACY)) {
    path.Add(local_mac);
    path.Add(local_ip);
  }
  for (const kppNestedLevel& level :
       {kppNestedLevel(other_ip), kppNestedLevel::At(other_port),
        kppNestedLevel::At(application_id), kppNestedLevel::At(protocol_id)})
    path.Add(level);
  return kppPlaceNested(stats, path, std::move(record));
}

void kppVlanPortRecord::AddTraffic(const kppVlanPortRecord& other) {
  download += other.download;
  upload += other.upload;
  packets += other.packets;
}

void kppVlanPortRecord::AddFlowTraffic(const kdFlow& flow) {
  const kppSides sides = kppPeerSides(flow);
  download += sides.other.bytes;
  upload += sides.local.bytes;
  packets += flow.packets_a + flow.packets_b;
}
