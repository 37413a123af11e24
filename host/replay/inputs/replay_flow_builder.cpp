#include "replay_flow_builder.h"

#include <map>

#include "replay_json_fields.h"

namespace kdreplay {

using nlohmann::json;

namespace {

// An address text; "" leaves the address unset. An embedded NUL would be cut off by the parser,
// so it is refused rather than read as a shorter address.
kdAddr ReadAddress(const json& value, const std::string& member, bool ethernet) {
  std::string text = ReadString(value, member);
  kdAddr addr;
  if (text.empty()) return addr;
  bool parsed = text.find('\0') == std::string::npos && addr.Parse(text);
  bool right_kind = ethernet ? addr.IsEthernet() : addr.IsIP();
  if (!parsed || !right_kind) {
    throw MemberError(member, std::string(ethernet ? "expected a MAC address like "
                                                     "\"aa:bb:cc:dd:ee:ff\""
                                                   : "expected an IPv4 or IPv6 address") +
                                  ", got " + Describe(value));
  }
  return addr;
}

std::shared_ptr<kdInterface> ReadInterface(const json& value, const std::string& member) {
  CheckObject(value, member, {"name", "index", "capture_type", "role"});
  auto iface = std::make_shared<kdInterface>();
  iface->name = "eth0";
  for (auto it = value.begin(); it != value.end(); ++it) {
    std::string path = MemberPath(member, it.key());
    if (it.key() == "name") iface->name = ReadString(*it, path);
    if (it.key() == "index") iface->index = ReadUnsigned<uint32_t>(*it, path);
    if (it.key() == "capture_type") iface->capture_type = ReadUnsigned<uint32_t>(*it, path);
    if (it.key() == "role") iface->role = ReadUnsigned<uint8_t>(*it, path);
  }
  return iface;
}

// Ports are applied once every address is known, whatever the member order.
struct Ports {
  const json* a = nullptr;
  const json* b = nullptr;
  const json* nat = nullptr;
};

using Setter = void (*)(kdFlow&, const json&, const std::string&);

const std::map<std::string, Setter>& Setters() {
  static const std::map<std::string, Setter> setters = {
      {"iface", [](kdFlow& f, const json& v, const std::string& m) { f.iface = ReadInterface(v, m); }},
      {"endpoint_map",
       [](kdFlow& f, const json& v, const std::string& m) { f.endpoint_map = ReadUnsigned<uint8_t>(v, m); }},
      {"origin", [](kdFlow& f, const json& v, const std::string& m) { f.origin = ReadUnsigned<uint8_t>(v, m); }},
      {"dpi_complete", [](kdFlow& f, const json& v, const std::string& m) { f.dpi_complete = ReadBool(v, m); }},
      {"other_type",
       [](kdFlow& f, const json& v, const std::string& m) { f.other_type = ReadUnsigned<uint8_t>(v, m); }},
      {"ip_version",
       [](kdFlow& f, const json& v, const std::string& m) { f.ip_version = ReadUnsigned<uint8_t>(v, m); }},
      {"ip_protocol",
       [](kdFlow& f, const json& v, const std::string& m) { f.ip_protocol = ReadUnsigned<uint8_t>(v, m); }},
      {"vlan_id", [](kdFlow& f, const json& v, const std::string& m) { f.vlan_id = ReadUnsigned<uint16_t>(v, m); }},
      {"mac_a", [](kdFlow& f, const json& v, const std::string& m) { f.mac_a = ReadAddress(v, m, true); }},
      {"mac_b", [](kdFlow& f, const json& v, const std::string& m) { f.mac_b = ReadAddress(v, m, true); }},
      {"addr_a", [](kdFlow& f, const json& v, const std::string& m) { f.addr_a = ReadAddress(v, m, false); }},
      {"addr_b", [](kdFlow& f, const json& v, const std::string& m) { f.addr_b = ReadAddress(v, m, false); }},
      {"nat_addr", [](kdFlow& f, const json& v, const std::string& m) { f.nat_addr = ReadAddress(v, m, false); }},
      {"bytes_a", [](kdFlow& f, const json& v, const std::string& m) { f.bytes_a = ReadUnsigned<uint64_t>(v, m); }},
      {"bytes_b", [](kdFlow& f, const json& v, const std::string& m) { f.bytes_b = ReadUnsigned<uint64_t>(v, m); }},
      {"packets_a",
       [](kdFlow& f, const json& v, const std::string& m) { f.packets_a = ReadUnsigned<uint32_t>(v, m); }},
      {"packets_b",
       [](kdFlow& f, const json& v, const std::string& m) { f.packets_b = ReadUnsigned<uint32_t>(v, m); }},
      {"digests",
       [](kdFlow& f, const json& v, const std::string& m) {
         if (!v.is_array()) throw MemberError(m, "expected an array of numbers, got " + Describe(v));
         f.digests.clear();
         for (size_t i = 0; i < v.size(); ++i)
           f.digests.push_back(ReadUnsigned<uint64_t>(v[i], ElementPath(m, i)));
       }},
      {"flow_digest",
       [](kdFlow& f, const json& v, const std::string& m) { f.flow_digest = ReadUnsigned<uint64_t>(v, m); }},
      {"flow_ifindex",
       [](kdFlow& f, const json& v, const std::string& m) { f.flow_ifindex = ReadUnsigned<uint32_t>(v, m); }},
      {"first_seen_ms",
       [](kdFlow& f, const json& v, const std::string& m) { f.first_seen_ms = ReadUnsigned<uint64_t>(v, m); }},
      {"last_seen_ms",
       [](kdFlow& f, const json& v, const std::string& m) { f.last_seen_ms = ReadUnsigned<uint64_t>(v, m); }},
      {"closed", [](kdFlow& f, const json& v, const std::string& m) { f.closed = ReadBool(v, m); }},
      {"detected_protocol",
       [](kdFlow& f, const json& v, const std::string& m) { f.detected_protocol = ReadUnsigned<uint32_t>(v, m); }},
      {"detected_protocol_name",
       [](kdFlow& f, const json& v, const std::string& m) { f.detected_protocol_name = ReadString(v, m); }},
      {"detected_application",
       [](kdFlow& f, const json& v, const std::string& m) { f.detected_application = ReadUnsigned<uint32_t>(v, m); }},
      {"detected_application_name",
       [](kdFlow& f, const json& v, const std::string& m) { f.detected_application_name = ReadString(v, m); }},
      {"application_category",
       [](kdFlow& f, const json& v, const std::string& m) { f.application_category = ReadUnsigned<uint32_t>(v, m); }},
      {"protocol_category",
       [](kdFlow& f, const json& v, const std::string& m) { f.protocol_category = ReadUnsigned<uint32_t>(v, m); }},
      {"tags",
       [](kdFlow& f, const json& v, const std::string& m) {
         if (!v.is_array()) throw MemberError(m, "expected an array of strings, got " + Describe(v));
         f.tags.clear();
         for (size_t i = 0; i < v.size(); ++i) f.tags.insert(ReadString(v[i], ElementPath(m, i)));
       }},
      {"host_name", [](kdFlow& f, const json& v, const std::string& m) { f.host_name = ReadString(v, m); }},
      {"preferred_host_name",
       [](kdFlow& f, const json& v, const std::string& m) { f.preferred_host_name = ReadString(v, m); }},
  };
  return setters;
}

void ApplyPort(kdAddr& addr, const json* port, const std::string& flow_member,
               const char* port_name, const char* addr_name) {
  if (port == nullptr) return;
  std::string member = MemberPath(flow_member, port_name);
  uint16_t value = ReadUnsigned<uint16_t>(*port, member);
  if (!addr.IsIP()) throw MemberError(member, std::string("a port needs \"") + addr_name + "\"");
  addr.SetPort(value, true);
}

}  // namespace

kdAddr ReadMacAddress(const json& value, const std::string& member) {
  kdAddr addr = ReadAddress(value, member, true);
  if (!addr.IsEthernet()) throw MemberError(member, "expected a MAC address, got \"\"");
  return addr;
}

std::shared_ptr<kdFlow> BuildFlow(const json& description, const std::string& member) {
  if (!description.is_object())
    throw MemberError(member, "expected a FLOW object, got " + Describe(description));

  auto flow = std::make_shared<kdFlow>();
  flow->dpi_complete = true;
  flow->flow_ifindex = 0;
  flow->iface = std::make_shared<kdInterface>();
  flow->iface->name = "eth0";

  Ports ports;
  for (auto it = description.begin(); it != description.end(); ++it) {
    const std::string& name = it.key();
    if (name == "port_a") {
      ports.a = &*it;
    } else if (name == "port_b") {
      ports.b = &*it;
    } else if (name == "nat_port") {
      ports.nat = &*it;
    } else {
      auto setter = Setters().find(name);
      if (setter == Setters().end()) throw MemberError(MemberPath(member, name), "unknown member");
      setter->second(*flow, *it, MemberPath(member, name));
    }
  }
  ApplyPort(flow->addr_a, ports.a, member, "port_a", "addr_a");
  ApplyPort(flow->addr_b, ports.b, member, "port_b", "addr_b");
  ApplyPort(flow->nat_addr, ports.nat, member, "nat_port", "nat_addr");
  return flow;
}

}  // namespace kdreplay
