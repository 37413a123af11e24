// How each record type's rows are laid out: its flat row's members in order, what kind of value
// each holds and whether it tells records apart or counts, the columns korvia-replay's summary
// shows, the table its rows go to, the members the levels of its nested form stand for, and how
// the NAT log's payloads spread into rows. Plain data with no dependencies, so that
// korvia-replay, which only sees payloads, reads the same description as the plugin's table of
// record types.
#pragma once

#include <cstddef>
#include <cstdint>

enum class kppMemberKind {
  kInteger,
  kText,
  kBoolean,
  kArray,
};

struct kppRowMember {
  const char* name;
  kppMemberKind kind;
  // Measured (summed, or for "largest_bytes" the largest kept) rather than telling records apart.
  bool counter;
};

// What a summary cell shows of its member.
enum class kppCellForm {
  kValue,  // the value as text
  kCount,  // the number of elements of an array
  kList,   // the elements of an array of strings, joined with ","
};

struct kppSummaryColumn {
  const char* label;
  // A member of the row; for the NAT log also "source", "translated" and "destination", the
  // session's endpoints as "address:port".
  const char* member;
  kppCellForm form = kppCellForm::kValue;
};

// A summary cell made of two row members: "address:port", an IPv6 address in brackets.
struct kppEndpointCell {
  const char* name;
  const char* ip;
  const char* port;
};

// How a payload of the NAT log becomes rows: one per element of its sessions array, with the
// payload's carried member copied in and the session's address object (the member that its
// family member names) spread into it.
struct kppSessionSpread {
  const char* sessions;
  const char* carried;
  const char* family;
};

template <typename Item>
struct kppRowList {
  const Item* items;
  size_t count;
  constexpr const Item* begin() const { return items; }
  constexpr const Item* end() const { return items + count; }
};

struct kppRecordRows {
  uint32_t number;
  // What a sample counts, in a few words; the summary's title of the type.
  const char* title;
  // The NAT log's members are those of a session with its payload's "apMac" and the addresses
  // of its family object spread into it.
  kppRowList<kppRowMember> members;
  // Dimensions that tell records apart at a glance, then the counters.
  kppRowList<kppSummaryColumn> summary;
  // The two members whose sum ranks the records; null for the NAT log, which counts no bytes.
  const char* bytes_a;
  const char* bytes_b;
  // The table that stores the type's rows (korvia-replay's sqlite: sink).
  const char* table;
  // The members the levels of the nested form stand for, outermost first: with the local
  // addresses, and without them (privacy mode). Empty for the NAT log, which has one form.
  kppRowList<const char*> nested_levels;
  kppRowList<const char*> private_levels;
  // The NAT log's only: how its payloads spread into rows, and its endpoint cells.
  const kppSessionSpread* spread;
  kppRowList<kppEndpointCell> endpoints;
};

namespace kpp_record_rows {

constexpr kppMemberKind I = kppMemberKind::kInteger;
constexpr kppMemberKind T = kppMemberKind::kText;
constexpr kppMemberKind B = kppMemberKind::kBoolean;
constexpr kppMemberKind A = kppMemberKind::kArray;
constexpr bool kDimension = false;
constexpr bool kCounter = true;
constexpr kppCellForm kCount = kppCellForm::kCount;
constexpr kppCellForm kList = kppCellForm::kList;

template <typename Item, size_t N>
constexpr kppRowList<Item> List(const Item (&items)[N]) {
  return {items, N};
}
template <typename Item>
constexpr kppRowList<Item> None() {
  return {nullptr, 0};
}

inline constexpr kppRowMember kMembers1[] = {
    {"local_mac", T, kDimension},   {"local_ip", T, kDimension}, {"application_id", T, kDimension},
    {"protocol_id", I, kDimension}, {"upload", I, kCounter},     {"download", I, kCounter},
    {"packets", I, kCounter}};
inline constexpr kppSummaryColumn kSummary1[] = {
    {"local mac", "local_mac"},  {"local ip", "local_ip"}, {"application", "application_id"},
    {"protocol", "protocol_id"}, {"upload", "upload"},     {"download", "download"},
    {"packets", "packets"}};

inline constexpr kppRowMember kMembers2[] = {
    {"local_mac", T, kDimension},      {"local_ip", T, kDimension},
    {"other_ip", T, kDimension},       {"ip_protocol", I, kDimension},
    {"application_id", T, kDimension}, {"protocol_id", I, kDimension},
    {"flow_count", I, kCounter},       {"local_bytes", I, kCounter},
    {"other_bytes", I, kCounter},      {"packets", I, kCounter}};
inline constexpr kppSummaryColumn kSummary2[] = {
    {"local mac", "local_mac"},  {"local ip", "local_ip"},          {"other ip", "other_ip"},
    {"ip proto", "ip_protocol"}, {"application", "application_id"}, {"protocol", "protocol_id"},
    {"flows", "flow_count"},     {"local bytes", "local_bytes"},    {"other bytes", "other_bytes"},
    {"packets", "packets"}};

inline constexpr kppRowMember kMembers3[] = {{"local_mac", T, kDimension},
                                             {"local_ip", T, kDimension},
                                             {"other_ip", T, kDimension},
                                             {"other_port", I, kDimension},
                                             {"ip_protocol", I, kDimension},
                                             {"ip_version", I, kDimension},
                                             {"interface", T, kDimension},
                                             {"internal", B, kDimension},
                                             {"local_origin", B, kDimension},
                                             {"other_type", T, kDimension},
                                             {"detected_application", I, kDimension},
                                             {"detected_application_name", T, kDimension},
                                             {"detected_protocol", I, kDimension},
                                             {"detected_protocol_name", T, kDimension},
                                             {"digests", A, kCounter},
                                             {"local_bytes", I, kCounter},
                                             {"other_bytes", I, kCounter},
                                             {"packets", I, kCounter}};
inline constexpr kppSummaryColumn kSummary3[] = {{"local ip", "local_ip"},
                                                 {"other ip", "other_ip"},
                                                 {"port", "other_port"},
                                                 {"ip proto", "ip_protocol"},
                                                 {"protocol", "detected_protocol_name"},
                                                 {"application", "detected_application_name"},
                                                 {"other type", "other_type"},
                                                 {"flows", "digests", kCount},
                                                 {"local bytes", "local_bytes"},
                                                 {"other bytes", "other_bytes"},
                                                 {"packets", "packets"}};

inline constexpr kppRowMember kMembers4[] = {
    {"vlan_id", I, kDimension},     {"local_mac", T, kDimension},
    {"local_ip", T, kDimension},    {"other_ip", T, kDimension},
    {"other_port", I, kDimension},  {"ip_protocol", I, kDimension},
    {"ip_version", I, kDimension},  {"application_id", I, kDimension},
    {"protocol_id", I, kDimension}, {"upload", I, kCounter},
    {"download", I, kCounter},      {"packets", I, kCounter}};
inline constexpr kppSummaryColumn kSummary4[] = {
    {"vlan", "vlan_id"},         {"local ip", "local_ip"},    {"other ip", "other_ip"},
    {"port", "other_port"},      {"ip proto", "ip_protocol"}, {"application", "application_id"},
    {"protocol", "protocol_id"}, {"upload", "upload"},        {"download", "download"},
    {"packets", "packets"}};

inline constexpr kppRowMember kMembers5[] = {{"ifname", T, kDimension},
                                             {"local_bytes", I, kCounter},
                                             {"other_bytes", I, kCounter},
                                             {"local_packets", I, kCounter},
                                             {"other_packets", I, kCounter},
                                             {"raw", I, kCounter},
                                             {"ethernet", I, kCounter},
                                             {"mpls", I, kCounter},
                                             {"pppoe", I, kCounter},
                                             {"vlan", I, kCounter},
                                             {"fragmented", I, kCounter},
                                             {"discarded", I, kCounter},
                                             {"discarded_bytes", I, kCounter},
                                             {"largest_bytes", I, kCounter},
                                             {"ip", I, kCounter},
                                             {"tcp", I, kCounter},
                                             {"tcp_seq_errors", I, kCounter},
                                             {"tcp_resets", I, kCounter},
                                             {"udp", I, kCounter},
                                             {"icmp", I, kCounter},
                                             {"igmp", I, kCounter},
                                             {"ip_bytes", I, kCounter},
                                             {"wire_bytes", I, kCounter},
                                             {"flow_dropped", I, kCounter},
                                             {"flow_evicted", I, kCounter},
                                             {"queue_dropped", I, kCounter},
                                             {"capture_dropped", I, kCounter},
                                             {"capture_filtered", I, kCounter}};
inline constexpr kppSummaryColumn kSummary5[] = {{"interface", "ifname"},
                                                 {"local bytes", "local_bytes"},
                                                 {"other bytes", "other_bytes"},
                                                 {"local packets", "local_packets"},
                                                 {"other packets", "other_packets"},
                                                 {"raw", "raw"},
                                                 {"wire bytes", "wire_bytes"},
                                                 {"discarded", "discarded"}};

inline constexpr kppRowMember kMembers6[] = {{"local_mac", T, kDimension},
                                             {"local_ip", T, kDimension},
                                             {"other_ip", T, kDimension},
                                             {"other_port", I, kDimension},
                                             {"ip_protocol", I, kDimension},
                                             {"ip_version", I, kDimension},
                                             {"interface", T, kDimension},
                                             {"internal", B, kDimension},
                                             {"local_origin", B, kDimension},
                                             {"other_type", T, kDimension},
                                             {"tags", A, kDimension},
                                             {"detected_application", I, kDimension},
                                             {"detected_application_name", T, kDimension},
                                             {"application_category", I, kDimension},
                                             {"detected_protocol", I, kDimension},
                                             {"detected_protocol_name", T, kDimension},
                                             {"protocol_category", I, kDimension},
                                             {"digests", A, kCounter},
                                             {"local_bytes", I, kCounter},
                                             {"other_bytes", I, kCounter},
                                             {"local_packets", I, kCounter},
                                             {"other_packets", I, kCounter}};
inline constexpr kppSummaryColumn kSummary6[] = {{"local ip", "local_ip"},
                                                 {"other ip", "other_ip"},
                                                 {"port", "other_port"},
                                                 {"tags", "tags", kList},
                                                 {"protocol", "detected_protocol_name"},
                                                 {"application", "detected_application_name"},
                                                 {"flows", "digests", kCount},
                                                 {"local bytes", "local_bytes"},
                                                 {"other bytes", "other_bytes"},
                                                 {"local packets", "local_packets"},
                                                 {"other packets", "other_packets"}};

inline constexpr kppRowMember kMembers7[] = {
    {"apMac", T, kDimension},    {"clientMac", T, kDimension},  {"uniqueId", T, kDimension},
    {"family", T, kDimension},   {"srcIp", T, kDimension},      {"srcPort", I, kDimension},
    {"natSrcIp", T, kDimension}, {"natSrcPort", I, kDimension}, {"dstIp", T, kDimension},
    {"dstPort", I, kDimension},  {"startTime", T, kDimension},  {"stopTime", T, kDimension},
    {"state", T, kDimension}};
inline constexpr kppSummaryColumn kSummary7[] = {
    {"ap mac", "apMac"},  {"client mac", "clientMac"},  {"family", "family"},
    {"source", "source"}, {"translated", "translated"}, {"destination", "destination"},
    {"state", "state"},   {"start", "startTime"},       {"stop", "stopTime"}};

inline constexpr kppRowMember kMembers8[] = {
    {"vlan_id", I, kDimension},        {"hostname", T, kDimension},
    {"local_mac", T, kDimension},      {"local_ip", T, kDimension},
    {"other_ip", T, kDimension},       {"other_port", I, kDimension},
    {"ip_protocol", I, kDimension},    {"ip_version", I, kDimension},
    {"application_id", I, kDimension}, {"protocol_id", I, kDimension},
    {"upload", I, kCounter},           {"download", I, kCounter},
    {"packets", I, kCounter}};
inline constexpr kppSummaryColumn kSummary8[] = {
    {"vlan", "vlan_id"},         {"host name", "hostname"}, {"local ip", "local_ip"},
    {"other ip", "other_ip"},    {"port", "other_port"},    {"application", "application_id"},
    {"protocol", "protocol_id"}, {"upload", "upload"},      {"download", "download"},
    {"packets", "packets"}};

inline constexpr const char* kNested1[] = {"local_mac", "local_ip", "application_id",
                                           "protocol_id"};
inline constexpr const char* kPrivate1[] = {"application_id", "protocol_id"};
inline constexpr const char* kNested2[] = {"local_mac", "local_ip", "other_ip", "application_id",
                                           "protocol_id"};
inline constexpr const char* kPrivate2[] = {"other_ip", "application_id", "protocol_id"};
inline constexpr const char* kNested3[] = {"local_mac", "local_ip", "other_ip",
                                           "detected_application_name", "detected_protocol_name"};
inline constexpr const char* kPrivate3[] = {"other_ip", "detected_application_name",
                                            "detected_protocol_name"};
inline constexpr const char* kNested4[] = {"vlan_id",    "local_mac",      "local_ip",   "other_ip",
                                           "other_port", "application_id", "protocol_id"};
inline constexpr const char* kPrivate4[] = {"vlan_id", "other_ip", "other_port", "application_id",
                                            "protocol_id"};
inline constexpr const char* kNested5[] = {"ifname"};
inline constexpr const char* kPrivate5[] = {"ifname"};
inline constexpr kppSessionSpread kSpread7 = {"flows", "apMac", "family"};
inline constexpr kppEndpointCell kEndpoints7[] = {{"source", "srcIp", "srcPort"},
                                                  {"translated", "natSrcIp", "natSrcPort"},
                                                  {"destination", "dstIp", "dstPort"}};

// Types 1 to 8, in order.
inline constexpr kppRecordRows kTable[] = {
    {1, "traffic per local host, application and protocol", List(kMembers1), List(kSummary1),
     "upload", "download", "type1_host_apps", List(kNested1), List(kPrivate1), nullptr,
     None<kppEndpointCell>()},
    {2, "flows and traffic per local host, peer, IP protocol, application and protocol",
     List(kMembers2), List(kSummary2), "local_bytes", "other_bytes", "type2_host_pairs",
     List(kNested2), List(kPrivate2), nullptr, None<kppEndpointCell>()},
    {3, "flow detail per local host, peer, IP protocol, application and protocol", List(kMembers3),
     List(kSummary3), "local_bytes", "other_bytes", "type3_flow_details", List(kNested3),
     List(kPrivate3), nullptr, None<kppEndpointCell>()},
    {4, "traffic per VLAN, local host, peer and port, application and protocol", List(kMembers4),
     List(kSummary4), "upload", "download", "type4_vlan_ports", List(kNested4), List(kPrivate4),
     nullptr, None<kppEndpointCell>()},
    {5, "interface statistics", List(kMembers5), List(kSummary5), "local_bytes", "other_bytes",
     "type5_interfaces", List(kNested5), List(kPrivate5), nullptr, None<kppEndpointCell>()},
    {6,
     "tagged traffic per host pair, IP protocol, application and protocol, or per tag set and host "
     "pair",
     List(kMembers6), List(kSummary6), "local_bytes", "other_bytes", "type6_tagged_pairs",
     List(kNested3), List(kPrivate3), nullptr, None<kppEndpointCell>()},
    {7, "NAT session log per access point", List(kMembers7), List(kSummary7), nullptr, nullptr,
     "type7_nat_sessions", None<const char*>(), None<const char*>(), &kSpread7, List(kEndpoints7)},
    {8, "traffic per VLAN, local host, peer and port, application, protocol and host name",
     List(kMembers8), List(kSummary8), "upload", "download", "type8_vlan_host_names",
     List(kNested4), List(kPrivate4), nullptr, None<kppEndpointCell>()},
};

}  // namespace kpp_record_rows

// How many record types there are: they are numbered 1 to this.
constexpr uint32_t kppRecordTypeCount() {
  return sizeof(kpp_record_rows::kTable) / sizeof(kpp_record_rows::kTable[0]);
}

// The rows of type number, or null when no type has that number.
constexpr const kppRecordRows* kppRecordRowsOf(uint32_t number) {
  return number == 0 || number > kppRecordTypeCount() ? nullptr
                                                      : &kpp_record_rows::kTable[number - 1];
}
