#include "korviad/kd_packet_stats.h"

#include <limits>

kdSerializer::~kdSerializer() = default;

void kdSerializer::serialize(nlohmann::json& j, const std::vector<std::string>& path,
                             uint64_t value) const {
  if (path.size() == 2) {
    j[path[0]][path[1]] = value;
  } else if (path.size() == 1) {
    j[path[0]] = value;
  }
}

kdPacketStats::~kdPacketStats() = default;

kdPacketStats& kdPacketStats::operator+=(const kdPacketStats& other) {
  raw += other.raw;
  ethernet += other.ethernet;
  mpls += other.mpls;
  pppoe += other.pppoe;
  vlan += other.vlan;
  fragmented += other.fragmented;
  discarded += other.discarded;
  if (other.largest_bytes > largest_bytes) largest_bytes = other.largest_bytes;
  ip += other.ip;
  ip4 += other.ip4;
  ip6 += other.ip6;
  icmp += other.icmp;
  igmp += other.igmp;
  tcp += other.tcp;
  tcp_seq_errors += other.tcp_seq_errors;
  tcp_resets += other.tcp_resets;
  udp += other.udp;
  ip_bytes += other.ip_bytes;
  ip4_bytes += other.ip4_bytes;
  ip6_bytes += other.ip6_bytes;
  wire_bytes += other.wire_bytes;
  discarded_bytes += other.discarded_bytes;
  queue_dropped += other.queue_dropped;
  capture_dropped += other.capture_dropped;
  capture_filtered += other.capture_filtered;
  flow_dropped += other.flow_dropped;
  flow_evicted += other.flow_evicted;
  return *this;
}

void kdPacketStats::Encode(nlohmann::json& j) const {
  serialize(j, {"raw"}, raw);
  serialize(j, {"ethernet"}, ethernet);
  serialize(j, {"mpls"}, mpls);
  serialize(j, {"pppoe"}, pppoe);
  serialize(j, {"vlan"}, vlan);
  serialize(j, {"fragmented"}, fragmented);
  serialize(j, {"discarded"}, discarded);
  serialize(j, {"discarded_bytes"}, discarded_bytes);
  serialize(j, {"largest_bytes"}, largest_bytes);
  serialize(j, {"ip"}, ip);
  serialize(j, {"tcp"}, tcp);
  serialize(j, {"tcp_seq_errors"}, tcp_seq_errors);
  serialize(j, {"tcp_resets"}, tcp_resets);
  serialize(j, {"udp"}, udp);
  serialize(j, {"icmp"}, icmp);
  serialize(j, {"igmp"}, igmp);
  serialize(j, {"ip_bytes"}, ip_bytes);
  serialize(j, {"wire_bytes"}, wire_bytes);
  serialize(j, {"flow_dropped"}, flow_dropped);
  serialize(j, {"flow_evicted"}, flow_evicted);
  serialize(j, {"queue_dropped"}, queue_dropped);
  serialize(j, {"capture_dropped"}, capture_dropped);
  serialize(j, {"capture_filtered"}, capture_filtered);
}

uint64_t* kdPacketStats::CounterByName(const std::string& name) {
  struct Entry {
    const char* name;
    uint64_t kdPacketStats::*counter;
  };
  static const Entry kCounters[] = {
      {"raw", &kdPacketStats::raw},
      {"ethernet", &kdPacketStats::ethernet},
      {"mpls", &kdPacketStats::mpls},
      {"pppoe", &kdPacketStats::pppoe},
      {"vlan", &kdPacketStats::vlan},
      {"fragmented", &kdPacketStats::fragmented},
      {"discarded", &kdPacketStats::discarded},
      {"ip", &kdPacketStats::ip},
      {"ip4", &kdPacketStats::ip4},
      {"ip6", &kdPacketStats::ip6},
      {"icmp", &kdPacketStats::icmp},
      {"igmp", &kdPacketStats::igmp},
      {"tcp", &kdPacketStats::tcp},
      {"tcp_seq_errors", &kdPacketStats::tcp_seq_errors},
      {"tcp_resets", &kdPacketStats::tcp_resets},
      {"udp", &kdPacketStats::udp},
      {"ip_bytes", &kdPacketStats::ip_bytes},
      {"ip4_bytes", &kdPacketStats::ip4_bytes},
      {"ip6_bytes", &kdPacketStats::ip6_bytes},
      {"wire_bytes", &kdPacketStats::wire_bytes},
      {"discarded_bytes", &kdPacketStats::discarded_bytes},
      {"queue_dropped", &kdPacketStats::queue_dropped},
      {"capture_dropped", &kdPacketStats::capture_dropped},
      {"capture_filtered", &kdPacketStats::capture_filtered},
      {"flow_dropped", &kdPacketStats::flow_dropped},
      {"flow_evicted", &kdPacketStats::flow_evicted},
  };
  for (const Entry& entry : kCounters) {
    if (name == entry.name) return &(this->*entry.counter);
  }
  return nullptr;
}

bool kdPacketStats::SetByName(const std::string& name, uint64_t value) {
  if (name == "largest_bytes") {
    if (value > std::numeric_limits<uint32_t>::max()) return false;
    largest_bytes = static_cast<uint32_t>(value);
    return true;
  }
  uint64_t* counter = CounterByName(name);
  if (counter == nullptr) return false;
  *counter = value;
  return true;
}
