#include "kd_flow_record.h"

#include <arpa/inet.h>

#include <cstring>
#include <tuple>

kdFlowExporter kdFlowExporter::Ipv4(uint32_t host_order) {
  kdFlowExporter e;
  e.addr[0] = static_cast<uint8_t>(host_order >> 24);
  e.addr[1] = static_cast<uint8_t>(host_order >> 16);
  e.addr[2] = static_cast<uint8_t>(host_order >> 8);
  e.addr[3] = static_cast<uint8_t>(host_order);
  return e;
}

kdFlowExporter kdFlowExporter::FromBytes(uint8_t ip_version, const uint8_t* bytes) {
  kdFlowExporter e;
  e.ip_version = ip_version == 6 ? 6 : 4;
  std::memcpy(e.addr, bytes, e.ip_version == 6 ? 16 : 4);
  return e;
}

std::string kdFlowExporter::ToString() const {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(ip_version == 6 ? AF_INET6 : AF_INET, addr, text, sizeof(text));
  return text;
}

bool operator<(const kdFlowExporter& a, const kdFlowExporter& b) {
  if (a.ip_version != b.ip_version) return a.ip_version < b.ip_version;
  return std::memcmp(a.addr, b.addr, sizeof(a.addr)) < 0;
}

bool operator==(const kdFlowExporter& a, const kdFlowExporter& b) {
  return a.ip_version == b.ip_version && std::memcmp(a.addr, b.addr, sizeof(a.addr)) == 0;
}

namespace {
// Every counter, in one list, so that adding one cannot leave it out of the sums.
template <typename Counters>
auto Members(Counters& c) {
  return std::tie(c.datagrams, c.records, c.options_records, c.unknown_version, c.malformed,
                  c.truncated_records, c.templates, c.bad_templates, c.templates_withdrawn,
                  c.templates_refused, c.domains_refused, c.pending_sets, c.pending_decoded,
                  c.pending_dropped, c.lost_records, c.lost_datagrams, c.out_of_order,
                  c.unsupported);
}
static_assert(sizeof(kdFlowDecodeCounters) == 18 * sizeof(uint64_t), "a counter is not summed");
}  // namespace

kdFlowDecodeCounters& kdFlowDecodeCounters::operator+=(const kdFlowDecodeCounters& other) {
  auto mine = Members(*this);
  auto theirs = Members(other);
  std::apply([&](auto&... a) { std::apply([&](auto&... b) { ((a += b), ...); }, theirs); }, mine);
  return *this;
}

bool kdFlowDecodeCounters::Empty() const {
  bool empty = true;
  std::apply([&](auto&... v) { ((empty = empty && v == 0), ...); }, Members(*this));
  return empty;
}
