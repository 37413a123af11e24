// The neutral flow record that every flow protocol decodes into and encodes from, the identity of
// an exporter, and the counters a decoder keeps per exporter.
//
// A record is one flow as an exporter saw it: "source" and "destination" are the exporter's
// forward direction. A biflow (RFC 5103) also carries the reverse direction's counters; a
// uniflow leaves them zero with biflow false.
#pragma once

#include <cstdint>
#include <string>

// Who sent a datagram: the UDP source address (not the port: exporters often send from
// ephemeral ports, and templates outlive a socket).
struct kdFlowExporter {
  uint8_t ip_version = 4;  // 4 or 6
  uint8_t addr[16] = {};   // IPv4 in the first 4 bytes, the rest zero

  static kdFlowExporter Ipv4(uint32_t host_order);
  static kdFlowExporter FromBytes(uint8_t ip_version, const uint8_t* bytes);
  std::string ToString() const;

  friend bool operator<(const kdFlowExporter& a, const kdFlowExporter& b);
  friend bool operator==(const kdFlowExporter& a, const kdFlowExporter& b);
};

// The protocol a record came in, by its version field.
namespace kd_flow_version {
constexpr uint16_t kNetflow5 = 5;
constexpr uint16_t kNetflow9 = 9;
constexpr uint16_t kIpfix = 10;
}  // namespace kd_flow_version

// Why a flow ended, with the values of IPFIX's flowEndReason.
namespace kd_flow_end {
constexpr uint8_t kNone = 0;  // not reported
constexpr uint8_t kIdle = 1;
constexpr uint8_t kActive = 2;
constexpr uint8_t kEndOfFlow = 3;
constexpr uint8_t kForced = 4;
constexpr uint8_t kLackOfResources = 5;
}  // namespace kd_flow_end

struct kdFlowRecord {
  uint16_t version = 0;  // kd_flow_version of the datagram; 0 for records built locally
  kdFlowExporter exporter;
  uint32_t observation_domain = 0;  // IPFIX domain, v9 source ID, v5 engine type << 8 | id

  uint8_t ip_version = 0;  // 4 or 6; 0 when the record carried no addresses
  uint8_t src_addr[16] = {};
  uint8_t dst_addr[16] = {};
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  uint8_t protocol = 0;
  uint16_t vlan_id = 0;
  bool has_src_mac = false;  // an all-zero address counts as absent
  bool has_dst_mac = false;
  uint8_t src_mac[6] = {};
  uint8_t dst_mac[6] = {};
  uint32_t ingress_if = 0;  // 0 when unknown
  uint32_t egress_if = 0;

  // Counters, already multiplied by sampling_rate.
  uint64_t octets = 0;  // IP bytes, header included, source to destination
  uint64_t packets = 0;
  uint8_t tcp_flags = 0;  // OR of the flags seen
  bool biflow = false;    // the reverse members below were reported
  uint64_t reverse_octets = 0;
  uint64_t reverse_packets = 0;
  uint8_t reverse_tcp_flags = 0;

  uint64_t first_ms = 0;  // Unix time in milliseconds; 0 when unknown
  uint64_t last_ms = 0;
  uint8_t end_reason = kd_flow_end::kNone;
  uint32_t sampling_rate = 1;  // one packet in sampling_rate was counted by the exporter
};

// What a decoder saw of one exporter. Every member only grows; see the decoders' TakeCounters.
struct kdFlowDecodeCounters {
  uint64_t datagrams = 0;        // datagrams read
  uint64_t records = 0;          // flow records handed out
  uint64_t options_records = 0;  // options data records read (sampling and the like)
  uint64_t unknown_version = 0;  // datagrams of a version this decoder does not speak
  uint64_t malformed = 0;  // datagrams or sets cut short or whose lengths contradict each other
  uint64_t truncated_records = 0;    // records that ran past their set or sample
  uint64_t templates = 0;            // template records accepted
  uint64_t bad_templates = 0;        // templates with absurd field counts or lengths
  uint64_t templates_withdrawn = 0;  // IPFIX withdrawals, counted per template removed
  uint64_t templates_refused = 0;    // new templates over the per-exporter cap
  uint64_t domains_refused = 0;      // datagrams of a new domain over the cap
  uint64_t pending_sets = 0;         // data sets kept until their template comes
  uint64_t pending_decoded = 0;      // kept sets decoded once it came
  uint64_t pending_dropped = 0;      // kept sets dropped: too old, or over the byte cap
  uint64_t lost_records = 0;         // sequence gaps of v5 and IPFIX, which count records
  uint64_t lost_datagrams = 0;       // sequence gaps of v9 and sFlow, which count datagrams
  uint64_t out_of_order = 0;         // sequence numbers that went back (restarts, reordering)
  uint64_t unsupported = 0;          // sFlow samples or records of formats not decoded, skipped

  kdFlowDecodeCounters& operator+=(const kdFlowDecodeCounters& other);
  bool Empty() const;
};
