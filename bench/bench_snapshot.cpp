#include "bench_snapshot.h"

#include <arpa/inet.h>

#include <string>

namespace kppbench {

namespace {

const char* const kApplications[] = {"korvia.video",
                                     "korvia.search",
                                     "korvia.mail",
                                     "korvia.social",
                                     "korvia.cdn",
                                     "korvia.update",
                                     "",  // unclassified
                                     "korvia.messaging"};
const char* const kProtocols[] = {"TLS", "HTTP", "DNS", "QUIC", "SSH", "NTP", "HTTP/S", "SMTPS"};
const char* const kTags[] = {"guest", "iot", "vpn", "voip", "backup"};
const uint16_t kPorts[] = {443, 80, 53, 443, 22, 123, 8443, 465, 993, 443};
// Applications and protocols are numbered so that (application, protocol) names the group:
// the privacy-mode key of type 1 reads nothing else.
constexpr size_t kApplicationNumbers = 4000;
constexpr size_t kLocalHosts = 5000;

void SetMac(kdAddr& addr, uint64_t value) {
  uint8_t mac[6] = {0x02,
                    static_cast<uint8_t>(value >> 32),
                    static_cast<uint8_t>(value >> 24),
                    static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 8),
                    static_cast<uint8_t>(value)};
  addr.SetMac(mac);
}

void SetIPv4(kdAddr& addr, uint32_t host_order, uint16_t port) {
  uint32_t network = htonl(host_order);
  addr.SetIPv4(&network, htons(port));
}

void SetIPv6(kdAddr& addr, uint32_t high, uint32_t low, uint16_t port) {
  uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8};
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(high >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(low >> (24 - 8 * i));
  addr.SetIPv6(bytes, htons(port));
}

}  // namespace

uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::shared_ptr<kdFlow> MakeGroupFlow(uint64_t seed, size_t group, size_t member, bool ipv6,
                                      const std::shared_ptr<kdInterface>& iface) {
  const uint64_t g = group;
  const uint64_t noise = Mix(seed ^ Mix(g * 64 + member));
  auto flow = std::make_shared<kdFlow>();
  flow->iface = iface;
  // Endpoint A is local for most groups; B for some, as when the peer opened the flow.
  const bool a_local = g % 4 != 3;
  flow->endpoint_map = a_local ? 1 : 2;
  flow->origin = a_local ? 1 : 2;
  flow->dpi_complete = true;
  flow->other_type = kdFlow::OTHER_REMOTE;
  flow->ip_version = ipv6 ? 6 : 4;
  flow->ip_protocol = g % 5 == 2 ? 17 : 6;
  flow->vlan_id = static_cast<uint16_t>(g % 3 == 0 ? 0 : 100 + g % 7);

  const uint64_t host = g % kLocalHosts;
  const uint16_t local_port = static_cast<uint16_t>(32768 + noise % 28000);
  const uint16_t peer_port = kPorts[g % (sizeof(kPorts) / sizeof(kPorts[0]))];
  kdAddr local_mac, peer_mac, local_ip, peer_ip;
  SetMac(local_mac, 0x1000000 + host);
  SetMac(peer_mac, 0xFE0000 + g % 16);  // the gateway's
  if (ipv6) {
    SetIPv6(local_ip, 0xfd000000u, static_cast<uint32_t>(host + 1), local_port);
    SetIPv6(peer_ip, static_cast<uint32_t>(g >> 16), static_cast<uint32_t>(g & 0xFFFF), peer_port);
  } else {
    SetIPv4(local_ip, (10u << 24) | static_cast<uint32_t>(host + 1), local_port);
    // 100.64.0.0/10 and above: one address per group.
    SetIPv4(peer_ip, (100u << 24) + (64u << 16) + static_cast<uint32_t>(g), peer_port);
  }
  (a_local ? flow->mac_a : flow->mac_b) = local_mac;
  (a_local ? flow->mac_b : flow->mac_a) = peer_mac;
  (a_local ? flow->addr_a : flow->addr_b) = local_ip;
  (a_local ? flow->addr_b : flow->addr_a) = peer_ip;

  flow->bytes_a = 200 + noise % 150000;
  flow->bytes_b = 400 + (noise >> 20) % 900000;
  flow->packets_a = static_cast<uint32_t>(2 + (noise >> 40) % 200);
  flow->packets_b = static_cast<uint32_t>(2 + (noise >> 48) % 700);
  flow->flow_digest = Mix(noise);
  flow->digests = {flow->flow_digest};

  const size_t app_count = sizeof(kApplications) / sizeof(kApplications[0]);
  const size_t proto_count = sizeof(kProtocols) / sizeof(kProtocols[0]);
  flow->detected_application = static_cast<uint32_t>(1 + g % kApplicationNumbers);
  flow->detected_application_name = kApplications[g % app_count];
  flow->detected_protocol = static_cast<uint32_t>(1 + g / kApplicationNumbers);
  flow->detected_protocol_name = kProtocols[(g / 3) % proto_count];
  flow->application_category = static_cast<uint32_t>(g % 23);
  flow->protocol_category = static_cast<uint32_t>(g % 11);
  for (size_t t = 0; t < g % 3; ++t) flow->tags.insert(kTags[(g + t) % 5]);
  flow->host_name = "h" + std::to_string(g % 1000) + ".example.net";
  if (g % 5 == 0) flow->preferred_host_name = "www.example" + std::to_string(g % 97) + ".org";
  return flow;
}

Snapshot::Snapshot(const SnapshotShape& shape) : shape_(shape) {
  map_ = std::make_unique<kdFlowMap>(shape.buckets);
  auto iface = std::make_shared<kdInterface>();
  iface->name = "eth0";
  iface->index = 2;
  iface->role = kdInterface::kRoleInternal;
  flows_.reserve(shape.flows);
  for (size_t i = 0; i < shape.flows; ++i) {
    const size_t group = i / shape.flows_per_key;
    const size_t member = i % shape.flows_per_key;
    const bool ipv6 = shape.ipv6_every != 0 && group % shape.ipv6_every == shape.ipv6_every - 1;
    flows_.push_back(MakeGroupFlow(shape.seed, group, member, ipv6, iface));
  }
  // Flows land in buckets by a hash of their index, as a host's flow keys spread them.
  for (size_t i = 0; i < flows_.size(); ++i) {
    const uint64_t key = Mix(shape.seed * 0x100000001ULL + i);
    const size_t bucket = key % shape.buckets;
    map_->Acquire(bucket)[key] = flows_[i];
    map_->Release(bucket);
  }
}

}  // namespace kppbench
