#include "kd_flow_tracker.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "kd_host_names.h"
#include "kd_protocol_table.h"
#include "korviad/kd_digest.h"

namespace {

constexpr size_t kKeySize = kdTrackedFlow::kKeySize;

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

}  // namespace

namespace {

// The table indexes flows with 32-bit positions.
constexpr size_t kMostFlows = 0x7FFFFFFF;

kdFlowTrackerConfig Checked(kdFlowTrackerConfig config) {
  if (!config.iface) config.iface = std::make_shared<kdInterface>();
  if (config.buckets == 0) config.buckets = 1;
  if (config.update_interval_us == 0) config.update_interval_us = 1;
  if (config.max_flows > kMostFlows) config.max_flows = kMostFlows;
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
  start_us_ = time_us;
  now_us_ = time_us;
  next_update_us_ = NextEventAfter(time_us);
}

uint64_t kdFlowTracker::NextEventAfter(uint64_t time_us) const {
  const uint64_t since = time_us - start_us_;
  const uint64_t update = config_.update_interval_us;
  uint64_t next = start_us_ + (since / update + 1) * update;
  const uint64_t window = config_.window_us;
  if (window != 0) next = std::min(next, start_us_ + (since / window + 1) * window);
  return next;
}

void kdFlowTracker::Clock(uint64_t time_us) {
  if (!started_) Start(time_us);
  if (time_us > now_us_) now_us_ = time_us;
  // Each flow-map event closes one interval; after a quiet stretch with no flows left, the
  // empty intervals in between are skipped rather than delivered one by one.
  while (now_us_ >= next_update_us_) {
    RunUpdate(next_update_us_);
    next_update_us_ = NextEventAfter(flows_.size() == 0 ? now_us_ : next_update_us_);
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
                           uint32_t wirelen, uint32_t scale) {
  Clock(time_us);
  kdDecodedPacket packet;
  kdDecodeResult result = kdDecodePacket(link_type, data, caplen, wirelen, packet);
  if (wirelen > pending_.largest_bytes) pending_.largest_bytes = wirelen;
  Count(packet, result, scale, uint64_t{wirelen} * scale, uint64_t{packet.ip_wire_length} * scale);
  if (result != kdDecodeResult::kIp) return;

  bool source_is_a = true;
  bool created = false;
  kdTrackedFlow* found = FindOrCreate(packet, source_is_a, created);
  if (found == nullptr) {
    pending_.flow_dropped += scale;
    pending_.discarded += scale;
    pending_.discarded_bytes += uint64_t{wirelen} * scale;
    return;
  }
  kdTrackedFlow& flow = *found;
  AddTraffic(flow, packet, source_is_a, scale, uint64_t{wirelen} * scale);
  if (config_.observer != nullptr)
    config_.observer->ObservePacket(packet, now_us_, config_.iface->index, flow.digest,
                                    flow.observer_slot);

  if (created && !flow.has_ports) Complete(flow);
  // A flow completed at the end of a window is still classified by its first payload.
  if (!flow.inspected && packet.payload_length > 0) {
    flow.inspected = true;
    Inspect(flow, packet);
    Complete(flow);
  }
  if (packet.has_tcp_flags && flow.has_ports && !flow.closed) {
    if (packet.tcp_flags & kd_tcp::kFin) (source_is_a ? flow.fin_a : flow.fin_b) = true;
    if ((packet.tcp_flags & kd_tcp::kRst) || (flow.fin_a && flow.fin_b)) Close(flow);
  }
}

void kdFlowTracker::Reported(uint64_t time_us, const kdReportedTraffic& traffic) {
  Clock(time_us);
  const kdDecodedPacket& key = traffic.key;
  const uint64_t packets = traffic.packets + traffic.reverse_packets;
  const uint64_t bytes = traffic.bytes + traffic.reverse_bytes;
  if (packets == 0 && bytes == 0) return;
  Count(key, kdDecodeResult::kIp, packets, bytes, bytes);
  bool source_is_a = true;
  bool created = false;
  kdTrackedFlow* found = FindOrCreate(key, source_is_a, created);
  if (found == nullptr) {
    pending_.flow_dropped += packets;
    pending_.discarded += packets;
    pending_.discarded_bytes += bytes;
    return;
  }
  kdTrackedFlow& flow = *found;
  AddTraffic(flow, key, source_is_a, traffic.packets, traffic.bytes);
  if (traffic.reverse_packets != 0 || traffic.reverse_bytes != 0) {
    // The reverse direction: its source is the key's destination, with the MACs swapped.
    kdDecodedPacket reverse;
    reverse.has_src_mac = key.has_dst_mac;
    reverse.has_dst_mac = key.has_src_mac;
    memcpy(reverse.src_mac, key.dst_mac, 6);
    memcpy(reverse.dst_mac, key.src_mac, 6);
    AddTraffic(flow, reverse, !source_is_a, traffic.reverse_packets, traffic.reverse_bytes);
  }
  flow.inspected = true;
  if (created) Complete(flow);
}

void kdFlowTracker::AddTraffic(kdTrackedFlow& flow, const kdDecodedPacket& packet, bool source_is_a,
                               uint64_t packets, uint64_t bytes) {
  if (source_is_a) {
    flow.bytes_a += bytes;
    flow.packets_a += packets;
  } else {
    flow.bytes_b += bytes;
    flow.packets_b += packets;
  }
  if (packet.has_src_mac) {
    bool& has = source_is_a ? flow.has_mac_a : flow.has_mac_b;
    if (!has) memcpy(source_is_a ? flow.mac_a : flow.mac_b, packet.src_mac, 6);
    has = true;
  }
  if (packet.has_dst_mac) {
    bool& has = source_is_a ? flow.has_mac_b : flow.has_mac_a;
    if (!has) memcpy(source_is_a ? flow.mac_b : flow.mac_a, packet.dst_mac, 6);
    has = true;
  }
  flow.last_seen_us = now_us_;
}

void kdFlowTracker::Count(const kdDecodedPacket& packet, kdDecodeResult result, uint64_t packets,
                          uint64_t wire_bytes, uint64_t ip_bytes) {
  kdPacketStats& s = pending_;
  s.raw += packets;
  s.wire_bytes += wire_bytes;
  if (packet.ethernet) s.ethernet += packets;
  if (packet.vlan_tags > 0) s.vlan += packets;
  if (packet.mpls) s.mpls += packets;
  if (packet.pppoe) s.pppoe += packets;
  if (result != kdDecodeResult::kIp) {
    s.discarded += packets;
    s.discarded_bytes += wire_bytes;
    return;
  }
  s.ip += packets;
  s.ip_bytes += ip_bytes;
  if (packet.ip_version == 4) {
    s.ip4 += packets;
    s.ip4_bytes += ip_bytes;
  } else {
    s.ip6 += packets;
    s.ip6_bytes += ip_bytes;
  }
  if (packet.fragment) s.fragmented += packets;
  switch (packet.protocol) {
    case kd_ip::kTcp:
      s.tcp += packets;
      if (packet.has_tcp_flags && (packet.tcp_flags & kd_tcp::kRst)) s.tcp_resets += packets;
      break;
    case kd_ip::kUdp:
      s.udp += packets;
      break;
    case kd_ip::kIcmp:
    case kd_ip::kIcmpV6:
      s.icmp += packets;
      break;
    case kd_ip::kIgmp:
      s.igmp += packets;
      break;
    default:
      break;
  }
}

kdTrackedFlow* kdFlowTracker::FindOrCreate(const kdDecodedPacket& packet, bool& source_is_a,
                                           bool& created) {
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

  // Two keys with one digest: the later takes the next free value after it.
  uint64_t digest = kd_xxh64(key, sizeof(key), seed_);
  for (;; ++digest) {
    kdTrackedFlow* flow = flows_.Find(digest);
    if (flow == nullptr) break;
    if (memcmp(flow->key, key, sizeof(key)) == 0) {
      created = false;
      return flow;
    }
  }
  if (flows_.size() >= config_.max_flows) return nullptr;

  kdTrackedFlow& flow = flows_.Insert(digest);
  memcpy(flow.key, key, sizeof(key));
  flow.has_ports = has_ports;
  flow.origin = source_is_a ? 1 : 2;
  flow.first_seen_us = now_us_;
  flow.protocol = has_ports ? &kdProtocolByPorts(packet.protocol, destination_port, source_port)
                            : &kdProtocolByIpProtocol(packet.protocol);
  Classify(flow, packet, source_is_a);
  created = true;
  return &flow;
}

void kdFlowTracker::Classify(kdTrackedFlow& flow, const kdDecodedPacket& packet, bool source_is_a) {
  const uint8_t version = packet.ip_version;
  bool local_a = config_.local_networks.Contains(version, flow.address_a());
  bool local_b = config_.local_networks.Contains(version, flow.address_b());
  flow.endpoint_map = local_a ? 1 : (local_b ? 2 : 0);

  // The other endpoint is B when A is local, else A (the side records take as the peer).
  bool other_is_b = flow.endpoint_map == 1;
  const uint8_t* other = other_is_b ? flow.address_b() : flow.address_a();
  bool other_is_destination = other_is_b == source_is_a;
  if (IsMulticast(version, other)) {
    flow.other_type = kdFlow::OTHER_MULTICAST;
  } else if (IsLimitedBroadcast(version, other) ||
             (other_is_destination && packet.has_dst_mac && IsBroadcastMac(packet.dst_mac))) {
    flow.other_type = kdFlow::OTHER_BROADCAST;
  } else if (config_.local_networks.Contains(version, other) || IsHostOnly(version, other)) {
    flow.other_type = kdFlow::OTHER_LOCAL;
  } else {
    flow.other_type = kdFlow::OTHER_REMOTE;
  }
}

void kdFlowTracker::Inspect(kdTrackedFlow& flow, const kdDecodedPacket& packet) {
  const uint8_t* payload = packet.payload;
  uint32_t length = packet.captured_payload;
  if (payload == nullptr || length == 0) return;
  std::string name;
  if (flow.ip_protocol() == kd_ip::kUdp) {
    uint32_t id = flow.protocol->id;
    bool dns_like =
        id == kd_protocol::kDns || id == kd_protocol::kMdns || id == kd_protocol::kLlmnr;
    if (dns_like) kdDnsQueryName(payload, length, name);
  } else if (flow.ip_protocol() == kd_ip::kTcp) {
    bool tls = kdIsTlsClientHello(payload, length);
    bool http = !tls && kdIsHttpRequest(payload, length);
    if (tls) kdTlsServerName(payload, length, name);
    if (http) kdHttpHost(payload, length, name);
    if (flow.protocol->id == kd_protocol::kUnknown && (tls || http)) {
      flow.protocol = &kdProtocolById(tls ? kd_protocol::kTls : kd_protocol::kHttp);
    }
  }
  if (name.empty()) return;
  flow.host_name = std::move(name);
  flow.application = kdApplicationByHostName(flow.host_name);
}

void kdFlowTracker::Complete(kdTrackedFlow& flow) {
  if (flow.dpi_complete) return;
  flow.dpi_complete = true;
  DeliverFlow(kdPluginProcessor::EVENT_FLOW_DPI_COMPLETE, flow);
}

void kdFlowTracker::Close(kdTrackedFlow& flow) {
  if (flow.closed) return;
  Complete(flow);
  flow.closed = true;
  DeliverFlow(kdPluginProcessor::EVENT_FLOW_EXPIRE, flow);
}

void kdFlowTracker::Materialise(const kdTrackedFlow& flow, kdFlow& out) const {
  const uint8_t version = flow.ip_version();
  out.iface = config_.iface;
  out.flow_ifindex = config_.iface->index;
  out.endpoint_map = flow.endpoint_map;
  out.origin = flow.origin;
  out.dpi_complete = flow.dpi_complete;
  out.other_type = flow.other_type;
  out.ip_version = version;
  out.ip_protocol = flow.ip_protocol();
  out.vlan_id = flow.vlan_id();
  if (flow.has_mac_a)
    out.mac_a.SetMac(flow.mac_a);
  else
    out.mac_a.Clear();
  if (flow.has_mac_b)
    out.mac_b.SetMac(flow.mac_b);
  else
    out.mac_b.Clear();
  SetAddress(out.addr_a, version, flow.address_a(), flow.port_a());
  SetAddress(out.addr_b, version, flow.address_b(), flow.port_b());
  out.bytes_a = flow.bytes_a;
  out.bytes_b = flow.bytes_b;
  out.packets_a = flow.packets_a;
  out.packets_b = flow.packets_b;
  out.digests.assign(1, flow.digest);
  out.flow_digest = flow.digest;
  out.first_seen_ms = flow.first_seen_us / 1000;
  out.last_seen_ms = flow.last_seen_us / 1000;
  out.closed = flow.closed;
  out.detected_protocol = flow.protocol->id;
  out.detected_protocol_name = flow.protocol->name;
  out.detected_application = flow.application != nullptr ? flow.application->id : 0;
  if (flow.application != nullptr) {
    out.detected_application_name = flow.application->name;
  } else {
    out.detected_application_name.clear();
  }
  out.host_name = flow.host_name;
}

void kdFlowTracker::DeliverFlow(kdPluginProcessor::Event event, const kdTrackedFlow& flow) {
  // The target may keep the flow it is given; then the next event gets a fresh one.
  if (!single_ || single_.use_count() != 1) single_ = std::make_shared<kdFlow>();
  Materialise(flow, *single_);
  target_.DeliverFlow(event, single_);
}

void kdFlowTracker::RunUpdate(uint64_t at_us) {
  for (size_t position = 0; position < flows_.size(); ++position) {
    kdTrackedFlow& flow = flows_.at(position);
    if (flow.closed) continue;
    uint64_t timeout =
        flow.ip_protocol() == kd_ip::kTcp ? config_.tcp_idle_us : config_.other_idle_us;
    if (at_us > flow.last_seen_us && at_us - flow.last_seen_us >= timeout) Close(flow);
  }
  const uint64_t window = config_.window_us;
  if (window != 0 && (at_us - start_us_) % window == 0) {
    for (size_t position = 0; position < flows_.size(); ++position) Complete(flows_.at(position));
  }
  DeliverSnapshot();
}

// The flows of one flow-map event, bucket by bucket in key order. The map builds a bucket's flow
// objects from it when the bucket is acquired and frees them on release, so a snapshot of a flood
// costs a placement per flow rather than a flow object per flow.
class kdFlowTracker::Snapshot : public kdFlowMap::Source {
 public:
  Snapshot(const kdFlowTracker& tracker, size_t buckets) : tracker_(tracker) {
    const kdFlowTable& flows = tracker.flows_;
    order_.reserve(flows.size());
    for (size_t position = 0; position < flows.size(); ++position) {
      const uint64_t digest = flows.at(position).digest;
      order_.push_back({digest % buckets, digest, position});
    }
    std::sort(order_.begin(), order_.end(), [](const Placement& a, const Placement& b) {
      return a.bucket != b.bucket ? a.bucket < b.bucket : a.digest < b.digest;
    });
    starts_.assign(buckets + 1, 0);
    for (const Placement& placement : order_) ++starts_[placement.bucket + 1];
    for (size_t b = 0; b < buckets; ++b) starts_[b + 1] += starts_[b];
  }

  void Fill(size_t b, kdFlowMap::Bucket& bucket) const override {
    // Each flow is appended at the bucket's end: no tree walks.
    for (size_t i = starts_[b]; i < starts_[b + 1]; ++i) {
      auto shown = std::make_shared<kdFlow>();
      tracker_.Materialise(tracker_.flows_.at(order_[i].position), *shown);
      bucket.emplace_hint(bucket.end(), order_[i].digest, std::move(shown));
    }
  }

  size_t Count(size_t b) const override { return starts_[b + 1] - starts_[b]; }

 private:
  struct Placement {
    uint64_t bucket;
    uint64_t digest;
    size_t position;
  };

  const kdFlowTracker& tracker_;
  std::vector<Placement> order_;
  std::vector<size_t> starts_;  // bucket b's placements are order_[starts_[b], starts_[b + 1])
};

void kdFlowTracker::DeliverSnapshot() {
  {
    const Snapshot snapshot(*this, map_.GetBuckets());
    map_.SetSource(&snapshot);
    try {
      target_.DeliverFlowMap(kdPluginProcessor::EVENT_FLOW_MAP, &map_);
    } catch (...) {
      map_.SetSource(nullptr);  // the map outlives the snapshot
      throw;
    }
    map_.SetSource(nullptr);
  }

  kdPacketStats stats = pending_;
  pending_ = kdPacketStats();
  delivered_ += stats;
  target_.DeliverPacketStats(config_.iface->name, &stats);

  size_t closed = 0;
  for (size_t position = 0; position < flows_.size(); ++position)
    closed += flows_.at(position).closed;
  if (closed == flows_.size()) {
    flows_.Clear();  // at Finish, or after a quiet spell: no flow stays
    return;
  }
  for (size_t position = 0; position < flows_.size();) {
    kdTrackedFlow& flow = flows_.at(position);
    if (flow.closed) {
      flows_.EraseAt(position);  // the last flow moves here and is looked at next
      continue;
    }
    if (flow.dpi_complete) {
      flow.bytes_a = flow.bytes_b = 0;
      flow.packets_a = flow.packets_b = 0;
    }
    ++position;
  }
}

void kdFlowTracker::Finish() {
  for (size_t position = 0; position < flows_.size(); ++position) Close(flows_.at(position));
  DeliverSnapshot();
  started_ = false;
}
