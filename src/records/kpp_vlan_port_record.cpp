#include "kpp_vlan_port_record.h"

#include "kpp_flow_sides.h"

using nlohmann::json;

kppVlanPortRecord::kppVlanPortRecord(const kdFlow& flow) {
  const kppSides sides = kppPeerSides(flow);
  local_mac = kppAddressText(*sides.local.mac);
  local_ip = kppAddressText(*sides.local.ip);
  other_ip = kppAddressText(*sides.other.ip);
  other_port = sides.other.ip->GetPort(true);
  application_id = flow.detected_application;
  protocol_id = flow.detected_protocol;
  ip_version = flow.ip_version;
  ip_protocol = flow.ip_protocol;
  vlan_id = flow.vlan_id;
}

void kppVlanPortRecord::EncodeShared(json& record, const kppRecordSettings& settings) const {
  record["vlan_id"] = vlan_id;
  record["ip_protocol"] = ip_protocol;
  record["ip_version"] = ip_version;
  record["download"] = download;
  record["upload"] = upload;
  record["other_port"] = other_port;
  record["packets"] = packets;
  if (settings.nested) return;
  record["application_id"] = application_id;
  record["other_ip"] = other_ip;
  record["protocol_id"] = protocol_id;
  if (settings.privacy) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

kppNestedPath kppVlanPortRecord::NestedPath(const kppRecordSettings& settings) const {
  kppNestedPath path{kppNestedLevel::At(vlan_id)};
  if (!settings.privacy) {
    path.Add(local_mac);
    path.Add(local_ip);
  }
  for (const kppNestedLevel& level :
       {kppNestedLevel(other_ip), kppNestedLevel::At(other_port),
        kppNestedLevel::At(application_id), kppNestedLevel::At(protocol_id)})
    path.Add(level);
  return path;
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
