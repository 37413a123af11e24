// What the command line says about flow protocols: the collector's listening sockets and the
// exporter's collector. See docs/flow-protocols.md.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kdreplay {

// "SCHEME://ADDR:PORT", an IPv6 address in brackets.
struct FlowEndpoint {
  enum class Scheme { kNetflow, kSflow, kIpfix, kNetflow9, kNetflow5 };
  Scheme scheme = Scheme::kNetflow;
  std::string text;  // as given, for messages
  sockaddr_storage address{};
  socklen_t address_length = 0;
};

// Parses text for --listen (netflow, sflow) or --export (ipfix, netflow9, netflow5). The host
// is resolved once, here. False with a reason in error otherwise.
bool ParseFlowEndpoint(const std::string& text, bool listen, FlowEndpoint& endpoint,
                       std::string& error);

struct FlowListenOptions {
  std::vector<FlowEndpoint> endpoints;  // --listen
  int buffer_mib = 64;                  // --listen-buffer: SO_RCVBUF of each socket
};

struct FlowExportOptions {
  bool enabled = false;
  FlowEndpoint collector;  // --export
  uint32_t domain = 0;     // --export-domain
  // Templates again every this many datagrams and seconds, whichever comes first.
  uint32_t template_datagrams = 20;
  uint32_t template_seconds = 60;
  uint32_t active_seconds = 1800;  // a flow running this long is exported and goes on
  uint32_t inactive_seconds = 15;  // a flow quiet this long is exported and forgotten
  bool biflow = false;             // IPFIX: RFC 5103 biflows instead of two uniflows
};

}  // namespace kdreplay
