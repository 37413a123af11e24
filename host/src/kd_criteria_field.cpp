#include "kd_criteria_field.h"

#include <limits>

#include "korviad/kd_flow.h"

namespace {

constexpr uint64_t kMax8 = std::numeric_limits<uint8_t>::max();
constexpr uint64_t kMax16 = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// Indexed by other_type code.
const char* const kOtherTypeWords[] = {"unknown",   "unsupported", "local", "multicast",
                                       "broadcast", "remote",      "error"};

const std::string& NoText() {
  static const std::string* empty = new std::string();
  return *empty;
}

// Endpoint A is local only when endpoint_map is 1; any other value makes B local.
bool ALocal(const kdFlow& f) {
  return f.endpoint_map == 1;
}

kdCriteriaField Number(const char* name, uint64_t max, uint64_t (*read)(const kdFlow&)) {
  return {name, kdCriteriaType::kNumber, max, read, nullptr, nullptr, nullptr};
}
kdCriteriaField Text(const char* name, const std::string& (*read)(const kdFlow&)) {
  return {name, kdCriteriaType::kText, 0, nullptr, read, nullptr, nullptr};
}
kdCriteriaField Address(const char* name, kdCriteriaType type,
                        const kdAddr& (*read)(const kdFlow&)) {
  return {name, type, 0, nullptr, nullptr, read, nullptr};
}
kdCriteriaField Boolean(const char* name, bool (*read)(const kdFlow&)) {
  return {name, kdCriteriaType::kBoolean, 0, nullptr, nullptr, nullptr, read};
}
kdCriteriaField Special(const char* name, kdCriteriaType type) {
  return {name, type, 0, nullptr, nullptr, nullptr, nullptr};
}

const kdCriteriaField kFields[] = {
    Number("ip_version", kMax8, [](const kdFlow& f) -> uint64_t { return f.ip_version; }),
    Number("ip_protocol", kMax8, [](const kdFlow& f) -> uint64_t { return f.ip_protocol; }),
    Number("vlan_id", kMax16, [](const kdFlow& f) -> uint64_t { return f.vlan_id; }),
    Number("endpoint_map", kMax8, [](const kdFlow& f) -> uint64_t { return f.endpoint_map; }),
    Number("origin", kMax8, [](const kdFlow& f) -> uint64_t { return f.origin; }),
    Number("local_port", kMax16,
           [](const kdFlow& f) -> uint64_t { return (ALocal(f) ? f.addr_a : f.addr_b).GetPort(); }),
    Number("other_port", kMax16,
           [](const kdFlow& f) -> uint64_t { return (ALocal(f) ? f.addr_b : f.addr_a).GetPort(); }),
    Number("detected_protocol", kMax32,
           [](const kdFlow& f) -> uint64_t { return f.detected_protocol; }),
    Number("detected_application", kMax32,
           [](const kdFlow& f) -> uint64_t { return f.detected_application; }),
    Number("application_category", kMax32,
           [](const kdFlow& f) -> uint64_t { return f.application_category; }),
    Number("protocol_category", kMax32,
           [](const kdFlow& f) -> uint64_t { return f.protocol_category; }),
    Number("bytes_a", kMax64, [](const kdFlow& f) -> uint64_t { return f.bytes_a; }),
    Number("bytes_b", kMax64, [](const kdFlow& f) -> uint64_t { return f.bytes_b; }),
    Number("packets_a", kMax32, [](const kdFlow& f) -> uint64_t { return f.packets_a; }),
    Number("packets_b", kMax32, [](const kdFlow& f) -> uint64_t { return f.packets_b; }),
    Number("local_bytes", kMax64,
           [](const kdFlow& f) -> uint64_t { return ALocal(f) ? f.bytes_a : f.bytes_b; }),
    Number("other_bytes", kMax64,
           [](const kdFlow& f) -> uint64_t { return ALocal(f) ? f.bytes_b : f.bytes_a; }),
    Number("local_packets", kMax32,
           [](const kdFlow& f) -> uint64_t { return ALocal(f) ? f.packets_a : f.packets_b; }),
    Number("other_packets", kMax32,
           [](const kdFlow& f) -> uint64_t { return ALocal(f) ? f.packets_b : f.packets_a; }),
    // Sums in 64 bits: the packet total does not wrap at 2^32 as record counters do.
    Number("bytes", kMax64, [](const kdFlow& f) -> uint64_t { return f.bytes_a + f.bytes_b; }),
    Number("packets", kMax64,
           [](const kdFlow& f) -> uint64_t { return uint64_t{f.packets_a} + f.packets_b; }),

    Text("detected_protocol_name",
         [](const kdFlow& f) -> const std::string& { return f.detected_protocol_name; }),
    Text("detected_application_name",
         [](const kdFlow& f) -> const std::string& { return f.detected_application_name; }),
    Text("host_name", [](const kdFlow& f) -> const std::string& { return f.host_name; }),
    Text("preferred_host_name",
         [](const kdFlow& f) -> const std::string& { return f.preferred_host_name; }),
    Text("iface",
         [](const kdFlow& f) -> const std::string& { return f.iface ? f.iface->name : NoText(); }),

    Address("local_ip", kdCriteriaType::kIpAddress,
            [](const kdFlow& f) -> const kdAddr& { return ALocal(f) ? f.addr_a : f.addr_b; }),
    Address("other_ip", kdCriteriaType::kIpAddress,
            [](const kdFlow& f) -> const kdAddr& { return ALocal(f) ? f.addr_b : f.addr_a; }),
    Address("nat_ip", kdCriteriaType::kIpAddress,
            [](const kdFlow& f) -> const kdAddr& { return f.nat_addr; }),
    Address("local_mac", kdCriteriaType::kMacAddress,
            [](const kdFlow& f) -> const kdAddr& { return ALocal(f) ? f.mac_a : f.mac_b; }),
    Address("other_mac", kdCriteriaType::kMacAddress,
            [](const kdFlow& f) -> const kdAddr& { return ALocal(f) ? f.mac_b : f.mac_a; }),

    Boolean("internal",
            [](const kdFlow& f) { return f.iface && f.iface->role == kdInterface::kRoleInternal; }),
    Boolean("dpi_complete", [](const kdFlow& f) { return f.dpi_complete; }),
    Boolean("closed", [](const kdFlow& f) { return f.closed; }),
    // The local endpoint sent the first packet.
    Boolean(
        "local_origin",
        [](const kdFlow& f) { return f.origin == 2 ? f.endpoint_map == 2 : f.endpoint_map == 1; }),

    Special("tags", kdCriteriaType::kTags),
    Special("other_type", kdCriteriaType::kOtherType),
};

}  // namespace

const kdCriteriaField* kdFindCriteriaField(const std::string& name) {
  for (const kdCriteriaField& field : kFields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

const char* kdCriteriaTypeName(kdCriteriaType type) {
  switch (type) {
    case kdCriteriaType::kNumber:
      return "a number";
    case kdCriteriaType::kText:
      return "a text";
    case kdCriteriaType::kIpAddress:
      return "an IP address";
    case kdCriteriaType::kMacAddress:
      return "a MAC address";
    case kdCriteriaType::kBoolean:
      return "a boolean";
    case kdCriteriaType::kTags:
      return "a tag set";
    case kdCriteriaType::kOtherType:
      return "a peer kind";
  }
  return "an unknown";
}

int kdOtherTypeCode(const std::string& word) {
  for (size_t code = 0; code < sizeof(kOtherTypeWords) / sizeof(kOtherTypeWords[0]); ++code) {
    if (word == kOtherTypeWords[code]) return static_cast<int>(code);
  }
  return -1;
}

const char* kdOtherTypeWords() {
  return "unknown, unsupported, local, multicast, broadcast, remote, error";
}
