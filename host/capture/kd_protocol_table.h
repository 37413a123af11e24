// The tracker's classification tables: detected protocols by IP protocol number and by
// well-known port, and applications by host name. docs/capture.md lists them.
#pragma once

#include <cstdint>
#include <string>

struct kdProtocolInfo {
  uint32_t id;       // 0: unknown
  const char* name;  // "Unknown" for id 0
};

struct kdApplicationInfo {
  uint32_t id;
  const char* name;
};

// Protocol ids the tracker refers to by name: payload inspection assigns TLS and HTTP when the
// ports say nothing, and reads DNS names only on the DNS-like protocols.
namespace kd_protocol {
constexpr uint32_t kUnknown = 0;
constexpr uint32_t kDns = 25;
constexpr uint32_t kHttp = 28;
constexpr uint32_t kTls = 37;
constexpr uint32_t kMdns = 62;
constexpr uint32_t kLlmnr = 63;
}  // namespace kd_protocol

// The protocol of a flow without ports, by its IP protocol number; Unknown when not listed.
const kdProtocolInfo& kdProtocolByIpProtocol(uint8_t ip_protocol);

// The protocol of a TCP or UDP flow: the responder's port (the receiver of the flow's first
// packet) is looked up first, then the initiator's; Unknown when neither is listed.
const kdProtocolInfo& kdProtocolByPorts(uint8_t ip_protocol, uint16_t responder_port,
                                        uint16_t initiator_port);

// The entry of a protocol id; Unknown for an id not in the tables.
const kdProtocolInfo& kdProtocolById(uint32_t id);

// The application of a host name: the entry whose domain is the name or a parent domain of it
// (label-wise: "a.example.com" matches "example.com", "badexample.com" does not); null when none.
const kdApplicationInfo* kdApplicationByHostName(const std::string& host_name);
