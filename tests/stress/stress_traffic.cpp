#include "stress_traffic.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace stress {

namespace {

kdAddr Addr(const std::string& text, uint16_t port = 0) {
  kdAddr addr;
  if (!addr.Parse(text)) throw std::runtime_error("bad address in stress source: " + text);
  if (port != 0) addr.SetPort(port, true);
  return addr;
}

uint64_t Counter(const std::map<std::string, uint64_t>& counters, const std::string& name) {
  auto it = counters.find(name);
  return it == counters.end() ? 0 : it->second;
}

// Counted by the host but never written; filled so that the record sums them too.
const char* const kUnwrittenStats[] = {"ip4", "ip6", "ip4_bytes", "ip6_bytes"};

constexpr size_t kPoolSize = 128;

}  // namespace

const std::vector<std::string>& SummedStatsKeys() {
  static const std::vector<std::string> keys = {"raw",
                                                "ethernet",
                                                "mpls",
                                                "pppoe",
                                                "vlan",
                                                "fragmented",
                                                "discarded",
                                                "discarded_bytes",
                                                "ip",
                                                "tcp",
                                                "tcp_seq_errors",
                                                "tcp_resets",
                                                "udp",
                                                "icmp",
                                                "igmp",
                                                "ip_bytes",
                                                "wire_bytes",
                                                "flow_dropped",
                                                "flow_evicted",
                                                "queue_dropped",
                                                "capture_dropped",
                                                "capture_filtered"};
  return keys;
}

Traffic& Traffic::operator+=(const Traffic& other) {
  bytes += other.bytes;
  packets += other.packets;
  for (const auto& counter : other.counters) counters[counter.first] += counter.second;
  largest = std::max(largest, other.largest);
  return *this;
}

bool Traffic::operator==(const Traffic& other) const {
  if (bytes != other.bytes || packets != other.packets || largest != other.largest) return false;
  for (const std::string& name : SummedStatsKeys()) {
    if (Counter(counters, name) != Counter(other.counters, name)) return false;
  }
  return true;
}

std::string Describe(const Traffic& traffic) {
  std::ostringstream out;
  out << "bytes " << traffic.bytes << ", packets " << traffic.packets;
  if (traffic.largest != 0 || !traffic.counters.empty()) {
    out << ", largest_bytes " << traffic.largest;
    for (const std::string& name : SummedStatsKeys())
      out << ", " << name << " " << Counter(traffic.counters, name);
  }
  return out.str();
}

const std::vector<std::vector<std::string>>& CriteriaVariants() {
  static const std::vector<std::vector<std::string>> variants = {
      {"ip_protocol == 6"},
      {"ip_protocol != 17"},
      {"ip_version == 4", "ip_protocol == 6"},
  };
  return variants;
}

bool Accepted(const kdFlow& flow, uint32_t type) {
  if (flow.ip_protocol != 6) return false;
  if (!flow.dpi_complete) return false;
  if (static_cast<uint32_t>(flow.packets_a + flow.packets_b) == 0) return false;
  if (type == 1 && flow.endpoint_map == 0) return false;
  return true;
}

Traffic FlowTraffic(const kdFlow& flow) {
  Traffic traffic;
  traffic.bytes = flow.bytes_a + flow.bytes_b;
  traffic.packets = static_cast<uint32_t>(flow.packets_a + flow.packets_b);
  return traffic;
}

TrafficSource::TrafficSource(uint64_t seed) : rng_(seed) {
  for (const char* name : {"eth0", "eth1", "wlan0"}) {
    auto iface = std::make_shared<kdInterface>();
    iface->name = name;
    iface->role = kdInterface::kRoleInternal;
    ifaces_.push_back(iface);
  }
  // A flow without an interface record counts too (under the empty name, for type 5).
  ifaces_.push_back(nullptr);
  for (size_t i = 0; i < kPoolSize; ++i) pool_.push_back(RandomFlow());
}

std::shared_ptr<kdFlow> TrafficSource::RandomFlow() {
  static const char* const kApplicationNames[] = {"", "web", "mail"};
  auto flow = std::make_shared<kdFlow>();
  flow->iface = ifaces_[Below(ifaces_.size())];
  flow->endpoint_map = static_cast<uint8_t>(Below(3));
  flow->origin = 1;
  flow->dpi_complete = Below(10) != 0;
  flow->ip_version = 4;
  flow->ip_protocol = Below(5) == 0 ? 17 : 6;
  flow->vlan_id = static_cast<uint16_t>(Below(2));
  flow->mac_a = Addr("02:00:00:00:00:0" + std::to_string(1 + Below(2)));
  flow->mac_b = Addr("02:00:00:00:01:0" + std::to_string(1 + Below(2)));
  // Small ports, applications and protocols: the nested form of types 4 and 8 makes array
  // positions of them.
  flow->addr_a = Addr("10.0.0." + std::to_string(1 + Below(2)), 1 + Below(2));
  flow->addr_b = Addr("192.0.2." + std::to_string(1 + Below(2)), 1 + Below(2));
  flow->bytes_a = Below(uint64_t{1} << 40);
  flow->bytes_b = Below(uint64_t{1} << 40);
  switch (Below(20)) {
    case 0:
      break;  // no packets at all
    case 1:
      // A sum that wraps to zero: no packets either.
      flow->packets_a = 0xFFFFFFFFu;
      flow->packets_b = 1;
      break;
    default:
      flow->packets_a = static_cast<uint32_t>(Below(1000));
      flow->packets_b = static_cast<uint32_t>(1 + Below(1000));
  }
  if (Below(10) != 0) flow->digests = {rng_(), rng_()};
  flow->flow_digest = flow->digests.empty() ? 0 : flow->digests.back();
  flow->detected_protocol = static_cast<uint32_t>(1 + Below(2));
  flow->detected_protocol_name = "proto";
  flow->detected_application = static_cast<uint32_t>(1 + Below(3));
  flow->detected_application_name = kApplicationNames[Below(3)];
  flow->host_name = Below(2) == 0 ? "" : "a.example";
  if (Below(4) == 0) flow->preferred_host_name = "preferred.example";
  return flow;
}

std::unique_ptr<kdFlowMap> TrafficSource::Snapshot(size_t count, size_t buckets,
                                                   TypedTraffic& counted) {
  auto map = std::make_unique<kdFlowMap>(buckets);
  for (size_t i = 0; i < count; ++i) {
    const std::shared_ptr<kdFlow>& flow = pool_[Below(pool_.size())];
    auto& bucket = map->Acquire(i % buckets);
    bucket[i] = flow;
    map->Release(i % buckets);
    for (uint32_t type : kStressTypes) {
      if (Accepted(*flow, type)) counted[type] += FlowTraffic(*flow);
    }
  }
  return map;
}

std::shared_ptr<kdFlow> TrafficSource::CountedFlow(uint64_t bytes, uint32_t packets) {
  auto flow = std::make_shared<kdFlow>(*pool_[0]);
  flow->iface = ifaces_[0];
  flow->endpoint_map = 1;
  flow->dpi_complete = true;
  flow->ip_protocol = 6;
  flow->bytes_a = bytes;
  flow->bytes_b = 0;
  flow->packets_a = packets;
  flow->packets_b = 0;
  flow->digests = {rng_()};
  return flow;
}

kdPacketStats TrafficSource::Stats(std::string& iface, Traffic& delivered) {
  static const char* const kNames[] = {"eth0", "eth1", "wlan0"};
  iface = kNames[Below(3)];
  kdPacketStats stats;
  for (const std::string& name : SummedStatsKeys()) {
    uint64_t value = Below(uint64_t{1} << 24);
    *stats.CounterByName(name) = value;
    delivered.counters[name] += value;
  }
  for (const char* name : kUnwrittenStats) *stats.CounterByName(name) = Below(1000);
  stats.largest_bytes = static_cast<uint32_t>(Below(65536));
  delivered.largest = std::max<uint64_t>(delivered.largest, stats.largest_bytes);
  return stats;
}

std::shared_ptr<kdFlow> TrafficSource::NatFlow() {
  auto flow = std::make_shared<kdFlow>(*pool_[Below(pool_.size())]);
  flow->nat_addr = Addr("203.0.113.1", 4000);
  return flow;
}

}  // namespace stress
