#include "kd_flow_tracker.h"

#include <arpa/inet.h>

#include <cstring>
#include <utility>
#include <vector>

#include "kd_host_names.h"
#include "kd_protocol_table.h"
#include "korviad/kd_digest.h"

namespace {

// A flow's key: IP version, protocol, VLAN id, then endpoint A's address and port and endpoint
// B's, A being the lower (address, port) pair. IPv4 addresses fill the first 4 of 16 bytes.
constexpr size_t kKeySize = 40;

void PutEndpoint(uint8_t* at, const uint8_t* address, uint16_t port) {
  memcpy(at, address, 16);
  at[16] = static_cast<uint8_t>(port >> 8);
  at[17] = static_cast<uint8_t>(port);
}

int CompareEndpoints(const uint8_t* address1, uint16_t port1, const uint8_t* address2,
                     uint16_t port2) {
  int rc = memcmp(address1, address2, 16);
  if (rc != 0) return rc;
  return port1 == port2 ? 0 : (port1 < port2 ? -1 : 1);
}

void SetAddress(kdAddr& address, uint8_t ip_version, const uint8_t* bytes, uint16_t port) {
  if (ip_version == 4) {
    address.SetIPv4(bytes, htons(port));
  } else {
    address.SetIPv6(bytes, htons(port));
  }
}

bool IsMulticast(uint8_t ip_version, const uint8_t* a) {
  return ip_version == 4 ? (a[0] & 0xF0) == 0xE0 : a[0] == 0xFF;
}

bool IsLimitedBroadcast(uint8_t ip_version, const uint8_t* a) {
  return ip_version == 4 && a[0] == 0xFF && a[1] == 0xFF && a[2] == 0xFF && a[3] == 0xFF;
}

// Loopback and unspecified addresses never leave the host: local whatever the networks say.
bool IsHostOnly(uint8_t ip_version, const uint8_t* a) {
  static const uint8_t kZero[16] = {};
  if (ip_version == 4) return a[0] == 127 || memcmp(a, kZero, 4) == 0;
  if (memcmp(a, kZero, 15) != 0) return false;
  return a[15] == 0 || a[15] == 1;
}

bool IsBroadcastMac(const uint8_t* mac) {
  for (int i = 0; i < 6; ++i) {
    if (mac[i] != 0xFF) return false;
  }
  return true;
}

// Holds one bucket of the map for as long as it lives.
class BucketGuard {
 public:
  BucketGuard(kdFlowMap& map, size_t index)
      : map_(map), index_(index), bucket_(map.Acquire(index)) {}
  BucketGuard(const BucketGuard&) = delete;
  BucketGuard& operator=(const BucketGuard&) = delete;
  ~BucketGuard() { map_.Release(index_); }
  kdFlowMap::Bucket& operator*() { return bucket_; }
  kdFlowMap::Bucket* operator->() { return &bucket_; }

 private:
  kdFlowMap& map_;
  size_t index_;
  kdFlowMap::Bucket& bucket_;
};

}  // namespace

// What the tracker keeps of a flow beyond what it shows.
class kdFlowTracker::Flow : public kdFlow {
 public:
  uint8_t key[kKeySize] = {};
  bool has_ports = false;
  bool fin_a = false;  // A sent a FIN
  bool fin_b = false;
  uint64_t last_seen_us = 0;
};

namespace {

kdFlowTrackerConfig Checked(kdFlowTrackerConfig config) {
  if (!config.iface) config.iface = std::make_shared<kdInterface>();
  if (config.buckets == 0) config.buckets = 1;
  if (config.update_interval_us == 0) config.update_interval_us = 1;
  return config;
}

}  // namespace

kdFlowTracker::kdFlowTracker(kdFlowTrackerConfig config, kdCaptureEventTarget& target)
    : config_(Checked(std::move(config))),
      target_(target),
      map_(config_.buckets),
      seed_(kd_xxh64(config_.iface->name.data(), config_.iface->name.size())) {}

kdFlowTracker::~kdFlowTracker() = default;

void kdFlowTracker::Start(uint64_t time_us) {
  if (started_) return;
  started_ = true;
  now_us_ = time_us;
  next_update_us_ = time_us + config_.update_interval_us;
}

void kdFlowTracker::Clock(uint64_t time_us) {
  if (!started_) Start(time_us);
  if (time_us > now_us_) now_us_ = time_us;
  // Each flow-map event closes one interval; after a quiet stretch with no flows left, the
  // empty intervals in between are skipped rather than delivered one by one.
  while (now_us_ >= next_update_us_) {
    RunUpdate(next_update_us_);
    next_update_us_ += config_.update_interval_us;
    if (flow_count_ == 0 && now_us_ >= next_update_us_) {
      uint64_t skipped = (now_us_ - next_update_us_) / config_.update_interval_us + 1;
      next_update_us_ += skipped * config_.update_interval_us;
    }
  }
}

void kdFlowTracker::AdvanceTime(uint64_t time_us) {
  Clock(time_us);
}

void kdFlowTracker::AddCaptureDropped(uint64_t packets) {
  pending_.capture_dropped += packets;
}

kdPacketStats kdFlowTracker::Totals() const {
  kdPacketStats totals = delivered_;
  totals += pending_;
  return totals;
}

void kdFlowTracker::Packet(int link_type, uint64_t time_us, const uint8_t* data, uint32_t caplen,
                           uint32_t wirelen) {
  Clock(time_us);
  kdDecodedPacket packet;
  kdDecodeResult result = kdDecodePacket(link_type, data, caplen, wirelen, packet);
  Count(packet, result, wirelen);
  if (result != kdDecodeResult::kIp) return;

  bool source_is_a = true;
  bool created = false;
  std::shared_ptr<Flow> flow = FindOrCreate(packet, source_is_a, created);
  if (!flow) {
    ++pending_.flow_dropped;
    ++pending_.discarded;
    pending_.discarded_bytes += wirelen;
    return;
  }

  if (source_is_a) {
    flow->bytes_a += wirelen;
    ++flow->packets_a;
  } else {
    flow->bytes_b += wirelen;
    ++flow->packets_b;
  }
  kdAddr& source_mac = source_is_a ? flow->mac_a : flow->mac_b;
  kdAddr& destination_mac = source_is_a ? flow->mac_b : flow->mac_a;
  if (packet.has_src_mac && !source_mac.IsValid()) source_mac.SetMac(packet.src_mac);
  if (packet.has_dst_mac && !destination_mac.IsValid()) destination_mac.SetMac(packet.dst_mac);
  flow->last_seen_us = now_us_;
  flow->last_seen_ms = now_us_ / 1000;

  if (created && !flow->has_ports) Complete(flow);
  if (!flow->dpi_complete && packet.payload_length > 0) {
    Inspect(*flow, packet);
    Complete(flow);
  }
  if (packet.has_tcp_flags && flow->has_ports && !flow->closed) {
    if (packet.tcp_flags & kd_tcp::kFin) (source_is_a ? flow->fin_a : flow->fin_b) = true;
    if ((packet.tcp_flags & kd_tcp::kRst) || (flow->fin_a && flow->fin_b)) Close(flow);
  }
}

void kdFlowTracker::Count(const kdDecodedPacket& packet, kdDecodeResult result, uint32_t wirelen) {
  kdPacketStats& s = pending_;
  ++s.raw;
  s.wire_bytes += wirelen;
  if (wirelen > s.largest_bytes) s.largest_bytes = wirelen;
  if (packet.ethernet) ++s.ethernet;
  if (packet.vlan_tags > 0) ++s.vlan;
  if (packet.mpls) ++s.mpls;
  if (packet.pppoe) ++s.pppoe;
  if (result != kdDecodeResult::kIp) {
    ++s.discarded;
    s.discarded_bytes += wirelen;
    return;
  }
  ++s.ip;
  s.ip_bytes += packet.ip_wire_length;
  if (packet.ip_version == 4) {
    ++s.ip4;
    s.ip4_bytes += packet.ip_wire_length;
  } else {
    ++s.ip6;
    s.ip6_bytes += packet.ip_wire_length;
  }
  if (packet.fragment) ++s.fragmented;
  switch (packet.protocol) {
    case kd_ip::kTcp:
      ++s.tcp;
      if (packet.has_tcp_flags && (packet.tcp_flags & kd_tcp::kRst)) ++s.tcp_resets;
      break;
    case kd_ip::kUdp:
      ++s.udp;
      break;
    case kd_ip::kIcmp:
    case kd_ip::kIcmpV6:
      ++s.icmp;
      break;
    case kd_ip::kIgmp:
      ++s.igmp;
      break;
    default:
      break;
  }
}

std::shared_ptr<kdFlowTracker::Flow> kdFlowTracker::FindOrCreate(const kdDecodedPacket& packet,
                                                                 bool& source_is_a, bool& created) {
  bool has_ports = packet.has_ports && !packet.later_fragment;
  uint16_t source_port = has_ports ? packet.src_port : 0;
  uint16_t destination_port = has_ports ? packet.dst_port : 0;
  source_is_a =
      CompareEndpoints(packet.src_addr, source_port, packet.dst_addr, destination_port) <= 0;
  uint8_t key[kKeySize];
  key[0] = packet.ip_version;
  key[1] = packet.protocol;
  key[2] = static_cast<uint8_t>(packet.vlan_id >> 8);
  key[3] = static_cast<uint8_t>(packet.vlan_id);
  if (source_is_a) {
    PutEndpoint(key + 4, packet.src_addr, source_port);
    PutEndpoint(key + 22, packet.dst_addr, destination_port);
  } else {
    PutEndpoint(key + 4, packet.dst_addr, destination_port);
    PutEndpoint(key + 22, packet.src_addr, source_port);
  }
  const uint8_t* address_a = key + 4;
  const uint8_t* address_b = key + 22;
  uint64_t digest = kd_xxh64(key, sizeof(key), seed_);

  // The map key is the digest; two keys with one digest take the next free value after it.
  BucketGuard bucket(map_, digest % map_.GetBuckets());
  uint64_t slot = digest;
  for (;; ++slot) {
    auto found = bucket->find(slot);
    if (found == bucket->end()) break;
    std::shared_ptr<Flow> flow = std::static_pointer_cast<Flow>(found->second);
    if (memcmp(flow->key, key, sizeof(key)) == 0) {
      created = false;
      return flow;
    }
  }
  if (flow_count_ >= config_.max_flows) return nullptr;

  auto flow = std::make_shared<Flow>();
  memcpy(flow->key, key, sizeof(key));
  flow->has_ports = has_ports;
  flow->iface = config_.iface;
  flow->flow_ifindex = config_.iface->index;
  flow->ip_version = packet.ip_version;
  flow->ip_protocol = packet.protocol;
  flow->vlan_id = packet.vlan_id;
  uint16_t port_a = source_is_a ? source_port : destination_port;
  uint16_t port_b = source_is_a ? destination_port : source_port;
  SetAddress(flow->addr_a, packet.ip_version, address_a, port_a);
  SetAddress(flow->addr_b, packet.ip_version, address_b, port_b);
  flow->origin = source_is_a ? 1 : 2;

  bool local_a = config_.local_networks.Contains(packet.ip_version, address_a);
  bool local_b = config_.local_networks.Contains(packet.ip_version, address_b);
  flow->endpoint_map = local_a ? 1 : (local_b ? 2 : 0);

  // The other endpoint is B when A is local, else A (the side records take as the peer).
  bool other_is_b = flow->endpoint_map == 1;
  const uint8_t* other = other_is_b ? address_b : address_a;
  bool other_is_destination = other_is_b == source_is_a;
  if (IsMulticast(packet.ip_version, other)) {
    flow->other_type = kdFlow::OTHER_MULTICAST;
  } else if (IsLimitedBroadcast(packet.ip_version, other) ||
             (other_is_destination && packet.has_dst_mac && IsBroadcastMac(packet.dst_mac))) {
    flow->other_type = kdFlow::OTHER_BROADCAST;
  } else if (config_.local_networks.Contains(packet.ip_version, other) ||
             IsHostOnly(packet.ip_version, other)) {
    flow->other_type = kdFlow::OTHER_LOCAL;
  } else {
    flow->other_type = kdFlow::OTHER_REMOTE;
  }

  flow->flow_digest = slot;
  flow->digests.push_back(slot);
  flow->first_seen_ms = now_us_ / 1000;
  const kdProtocolInfo& protocol =
      has_ports ? kdProtocolByPorts(packet.protocol, destination_port, source_port)
                : kdProtocolByIpProtocol(packet.protocol);
  flow->detected_protocol = protocol.id;
  flow->detected_protocol_name = protocol.name;

  (*bucket)[slot] = flow;
  ++flow_count_;
  created = true;
  return flow;
}

void kdFlowTracker::Inspect(Flow& flow, const kdDecodedPacket& packet) {
  const uint8_t* payload = packet.payload;
  uint32_t length = packet.captured_payload;
  if (payload == nullptr || length == 0) return;
  std::string name;
  if (flow.ip_protocol == kd_ip::kUdp) {
    uint32_t id = flow.detected_protocol;
    bool dns_like =
        id == kd_protocol::kDns || id == kd_protocol::kMdns || id == kd_protocol::kLlmnr;
    if (dns_like) kdDnsQueryName(payload, length, name);
  } else if (flow.ip_protocol == kd_ip::kTcp) {
    bool tls = kdIsTlsClientHello(payload, length);
    bool http = !tls && kdIsHttpRequest(payload, length);
    if (tls) kdTlsServerName(payload, length, name);
    if (http) kdHttpHost(payload, length, name);
    if (flow.detected_protocol == kd_protocol::kUnknown && (tls || http)) {
      const kdProtocolInfo& info = kdProtocolById(tls ? kd_protocol::kTls : kd_protocol::kHttp);
      flow.detected_protocol = info.id;
      flow.detected_protocol_name = info.name;
    }
  }
  if (name.empty()) return;
  flow.host_name = name;
  if (const kdApplicationInfo* application = kdApplicationByHostName(name)) {
    flow.detected_application = application->id;
    flow.detected_application_name = application->name;
  }
}

void kdFlowTracker::Complete(const std::shared_ptr<Flow>& flow) {
  if (flow->dpi_complete) return;
  flow->dpi_complete = true;
  DeliverFlow(kdPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
}

void kdFlowTracker::Close(const std::shared_ptr<Flow>& flow) {
  if (flow->closed) return;
  Complete(flow);
  flow->closed = true;
  DeliverFlow(kdPluginProcessor::EVENT_FLOW_EXPIRE, flow);
}

void kdFlowTracker::DeliverFlow(kdPluginProcessor::Event event, const std::shared_ptr<Flow>& flow) {
  std::shared_ptr<kdFlow> shared = flow;
  target_.DeliverFlow(event, shared);
}

void kdFlowTracker::RunUpdate(uint64_t at_us) {
  // Collected first and closed after, so that no bucket is held while the target runs.
  std::vector<std::shared_ptr<Flow>> idle;
  for (size_t b = 0; b < map_.GetBuckets(); ++b) {
    BucketGuard bucket(map_, b);
    for (auto& entry : *bucket) {
      auto flow = std::static_pointer_cast<Flow>(entry.second);
      if (flow->closed) continue;
      uint64_t timeout =
          flow->ip_protocol == kd_ip::kTcp ? config_.tcp_idle_us : config_.other_idle_us;
      if (at_us > flow->last_seen_us && at_us - flow->last_seen_us >= timeout) {
        idle.push_back(flow);
      }
    }
  }
  for (const auto& flow : idle) Close(flow);
  DeliverSnapshot();
}

void kdFlowTracker::DeliverSnapshot() {
  target_.DeliverFlowMap(kdPluginProcessor::EVENT_FLOW_MAP, &map_);
  kdPacketStats stats = pending_;
  pending_ = kdPacketStats();
  delivered_ += stats;
  target_.DeliverPacketStats(config_.iface->name, &stats);

  for (size_t b = 0; b < map_.GetBuckets(); ++b) {
    BucketGuard bucket(map_, b);
    for (auto entry = bucket->begin(); entry != bucket->end();) {
      kdFlow& flow = *entry->second;
      if (flow.dpi_complete) {
        flow.bytes_a = flow.bytes_b = 0;
        flow.packets_a = flow.packets_b = 0;
      }
      if (flow.closed) {
        entry = bucket->erase(entry);
        --flow_count_;
      } else {
        ++entry;
      }
    }
  }
}

void kdFlowTracker::Finish() {
  std::vector<std::shared_ptr<Flow>> open;
  for (size_t b = 0; b < map_.GetBuckets(); ++b) {
    BucketGuard bucket(map_, b);
    for (auto& entry : *bucket) {
      auto flow = std::static_pointer_cast<Flow>(entry.second);
      if (!flow->closed) open.push_back(flow);
    }
  }
  for (const auto& flow : open) Close(flow);
  DeliverSnapshot();
  started_ = false;
}
