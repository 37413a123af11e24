// How each record type's rows are laid out: its flat row's members in order, what kind of value
// each holds and whether it tells records apart or counts, and the columns korvia-replay's
// summary shows. Plain data with no dependencies, so that korvia-replay, which only sees
// payloads, reads the same description as the plugin's table of record types.
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

// Types 1 to 8, in order.
inline constexpr kppRecordRows kTable[] = {
    {1, "traffic per local host, application and protocol", List(kMembers1), List(kSummary1),
     "upload", "download"},
    {2, "flows and traffic per local host, peer, IP protocol, application and protocol",
     List(kMembers2), List(kSummary2), "local_bytes", "other_bytes"},
    {3, "flow detail per local host, peer, IP protocol, application and protocol", List(kMembers3),
     List(kSummary3), "local_bytes", "other_bytes"},
    {4, "traffic per VLAN, local host, peer and port, application and protocol", List(kMembers4),
     List(kSummary4), "upload", "download"},
    {5, "interface statistics", List(kMembers5), List(kSummary5), "local_bytes", "other_bytes"},
    {6,
     "tagged traffic per host pair, IP protocol, application and protocol, or per tag set and host "
     "pair",
     List(kMembers6), List(kSummary6), "local_bytes", "other_bytes"},
    {7, "NAT session log per access point", List(kMembers7), List(kSummary7), nullptr, nullptr},
    {8, "traffic per VLAN, local host, peer and port, application, protocol and host name",
     List(kMembers8), List(kSummary8), "upload", "download"},
};

}  // namespace kpp_record_rows

// The rows of type number, or null when no type has that number.
constexpr const kppRecordRows* kppRecordRowsOf(uint32_t number) {
  constexpr uint32_t kCount = sizeof(kpp_record_rows::kTable) / sizeof(kpp_record_rows::kTable[0]);
  return number == 0 || number > kCount ? nullptr : &kpp_record_rows::kTable[number - 1];
}
