#include "replay_flow_listener.h"

#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "replay_report.h"

namespace kdreplay {

namespace {

// Interfaces tracked at once over all exporters; the traffic of further ones is tracked under
// one interface, "other", so that a flood of ifIndexes cannot grow memory without bound.
constexpr size_t kMaxInterfaces = 4096;
constexpr size_t kMaxRatesShown = 4096;
// Datagrams read from one socket before the others and the clock are served.
constexpr int kDatagramsPerServe = 4096;

std::string Plural(uint64_t n, const char* what) {
  return std::to_string(n) + " " + what;
}

// The counters of bad input and loss, "" when there were none.
std::string Troubles(const kdFlowDecodeCounters& c) {
  std::string text;
  auto add = [&text](uint64_t n, const char* what) {
    if (n != 0) text += (text.empty() ? "" : ", ") + Plural(n, what);
  };
  add(c.unknown_version, "datagrams of an unknown version");
  add(c.malformed, "malformed datagrams or sets");
  add(c.truncated_records, "truncated records");
  add(c.bad_templates, "bad templates");
  add(c.templates_refused, "templates refused (too many)");
  add(c.domains_refused, "datagrams of domains refused (too many)");
  add(c.pending_dropped, "data sets dropped waiting for their template");
  add(c.lost_records, "records lost (sequence gaps)");
  add(c.lost_datagrams, "datagrams lost (sequence gaps)");
  add(c.out_of_order, "sequence numbers out of order");
  add(c.unsupported, "samples or records of unsupported formats");
  return text;
}

kdFlowExporter ExporterOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    return kdFlowExporter::FromBytes(4, reinterpret_cast<const uint8_t*>(&in.sin_addr));
  }
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
  const uint8_t* bytes = in6.sin6_addr.s6_addr;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(bytes, kMapped, 12) == 0) return kdFlowExporter::FromBytes(4, bytes + 12);
  return kdFlowExporter::FromBytes(6, bytes);
}

std::string VersionName(uint32_t version) {
  switch (version) {
    case kd_flow_version::kNetflow5:
      return "NetFlow v5";
    case kd_flow_version::kNetflow9:
      return "NetFlow v9";
    case kd_flow_version::kIpfix:
      return "IPFIX";
    default:
      return "version " + std::to_string(version);
  }
}

}  // namespace

struct FlowListener::Socket {
  FlowEndpoint endpoint;
  int fd = -1;
  uint32_t overflow = 0;        // the kernel's count of datagrams dropped, as last read
  uint64_t kernel_dropped = 0;  // since the last report
  uint64_t datagrams = 0, records = 0, kernel_dropped_total = 0;
  std::unique_ptr<kdFlowCollector> collector;  // netflow://
  std::unique_ptr<kdSflowDecoder> sflow;       // sflow://

  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

class FlowListener::Bridge : public kdCaptureEventTarget {
 public:
  Bridge(EventTarget& target, std::string name) : target_(target), name_(std::move(name)) {}
  void DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) override {
    target_.DeliverFlowMap(name_, *map, event);
  }
  void DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) override {
    target_.DeliverFlow(name_, flow, event);
  }
  void DeliverPacketStats(const std::string& iface, kdPacketStats* stats) override {
    target_.DeliverStats(name_, iface, *stats);
  }

 private:
  EventTarget& target_;
  std::string name_;
};

struct FlowListener::Interface {
  std::unique_ptr<Bridge> bridge;
  std::unique_ptr<kdFlowTracker> tracker;
};

bool FlowListener::RateKey::operator<(const RateKey& o) const {
  if (!(exporter == o.exporter)) return exporter < o.exporter;
  return version != o.version ? version < o.version : domain < o.domain;
}

FlowListener::FlowListener(FlowListenOptions options) : options_(std::move(options)) {}

FlowListener::~FlowListener() = default;

bool FlowListener::Open(std::string& error) {
  for (const FlowEndpoint& endpoint : options_.endpoints) {
    auto socket_state = std::make_unique<Socket>();
    Socket& s = *socket_state;
    s.endpoint = endpoint;
    s.fd = socket(endpoint.address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
      error = endpoint.text + ": " + strerror(errno);
      return false;
    }
    // Bursts of export arrive faster than one thread decodes: the kernel holds them meanwhile.
    int wanted = options_.buffer_mib << 20;
    if (setsockopt(s.fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof(wanted)) != 0)
      setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof(wanted));
    int granted = 0;
    socklen_t length = sizeof(granted);
    getsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    // Linux doubles what it grants for its bookkeeping.
    if (granted / 2 < wanted)
      Report("%s: receive buffer %d KiB, not the %d MiB asked (see net.core.rmem_max)",
             endpoint.text.c_str(), granted / 2 / 1024, options_.buffer_mib);
    int on = 1;
    setsockopt(s.fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
    if (bind(s.fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.address_length) !=
        0) {
      error = endpoint.text + ": " + strerror(errno);
      return false;
    }
    Socket* raw = socket_state.get();
    if (endpoint.scheme == FlowEndpoint::Scheme::kSflow) {
      s.sflow = std::make_unique<kdSflowDecoder>(
          [this, raw](const kdSflowPacketSample& sample) { Sample(*raw, sample); },
          [this](const kdSflowInterfaceCounters& counters) { Counters(counters); });
    } else {
      s.collector = std::make_unique<kdFlowCollector>(
          [this, raw](const kdFlowRecord& record) { Record(*raw, record); });
    }
    sockets_.push_back(std::move(socket_state));
  }
  return true;
}

std::vector<int> FlowListener::Fds() const {
  std::vector<int> fds;
  for (const auto& s : sockets_) fds.push_back(s->fd);
  return fds;
}

void FlowListener::Start(const kdFlowTrackerConfig& config, uint64_t time_us, EventTarget& target) {
  config_ = config;
  target_ = &target;
  start_us_ = now_us_ = time_us;
  next_report_us_ = time_us + config_.update_interval_us;
  for (const auto& s : sockets_)
    Report("%s: collecting until SIGINT or SIGTERM", s->endpoint.text.c_str());
}

void FlowListener::Datagram(size_t socket, const kdFlowExporter& from, const uint8_t* data,
                            size_t size, uint64_t now_us) {
  Socket& s = *sockets_.at(socket);
  if (now_us > now_us_) now_us_ = now_us;
  ++s.datagrams;
  if (s.collector) {
    s.collector->Decode(from, data, size, now_us_ / 1000);
  } else {
    s.sflow->Decode(from, data, size);
  }
}

void FlowListener::Serve(uint64_t now_us) {
  // Held by the listener: a thread_local this size would be carved out of every thread's stack,
  // the small ones of libraries' worker threads included.
  uint8_t* buffer = datagram_.data();
  for (size_t i = 0; i < sockets_.size(); ++i) {
    Socket& s = *sockets_[i];
    for (int n = 0; n < kDatagramsPerServe; ++n) {
      sockaddr_storage from{};
      iovec io{buffer, datagram_.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
      msghdr message{};
      message.msg_name = &from;
      message.msg_namelen = sizeof(from);
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      ssize_t got = recvmsg(s.fd, &message, MSG_DONTWAIT);
      if (got < 0) break;  // nothing waiting, or an error the next wait tells again
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
        uint32_t overflow = 0;
        memcpy(&overflow, CMSG_DATA(c), sizeof(overflow));
        CountDrops(s, overflow);
      }
      Datagram(i, ExporterOf(from), buffer, static_cast<size_t>(got), now_us);
    }
  }
  if (now_us > now_us_) now_us_ = now_us;
  for (auto& entry : interfaces_) entry.second->tracker->AdvanceTime(now_us_);
  if (other_) other_->tracker->AdvanceTime(now_us_);
  if (now_us_ >= next_report_us_) {
    ReportInterval();
    while (next_report_us_ <= now_us_) next_report_us_ += config_.update_interval_us;
  }
}

bool FlowListener::InterfaceKey::operator<(const InterfaceKey& o) const {
  if (!(exporter == o.exporter)) return exporter < o.exporter;
  return if_index < o.if_index;
}

kdFlowTracker& FlowListener::Tracker(const kdFlowExporter& exporter, uint32_t if_index) {
  // Records come in runs of one exporter's interface: most need no look-up.
  const InterfaceKey key{exporter, if_index};
  if (last_tracker_ != nullptr && !(key < last_key_) && !(last_key_ < key)) return *last_tracker_;
  auto found = interfaces_.find(key);
  if (found == interfaces_.end()) {
    if (interfaces_.size() >= kMaxInterfaces) {
      if (!other_) {
        Report(
            "%zu exporter interfaces tracked: the traffic of further ones counts under \"other\"",
            kMaxInterfaces);
        other_ = MakeInterface("other", kdInterface::kNoIndex);
      }
      return *other_->tracker;
    }
    found = interfaces_
                .emplace(key, MakeInterface(exporter.ToString() + "/if" + std::to_string(if_index),
                                            if_index != 0 ? if_index : kdInterface::kNoIndex))
                .first;
  }
  last_key_ = key;
  last_tracker_ = found->second->tracker.get();
  return *last_tracker_;
}

std::unique_ptr<FlowListener::Interface> FlowListener::MakeInterface(const std::string& name,
                                                                     uint32_t index) {
  auto iface = std::make_shared<kdInterface>();
  iface->name = name;
  iface->index = index;
  iface->capture_type = kCaptureTypeCollector;
  iface->role = config_.iface ? config_.iface->role : kdInterface::kRoleInternal;
  kdFlowTrackerConfig config = config_;
  config.iface = iface;
  config.observer = nullptr;
  auto state = std::make_unique<Interface>();
  // A missing target (Datagram without Start) is a caller's mistake; the tests always start.
  state->bridge = std::make_unique<Bridge>(*target_, name);
  state->tracker = std::make_unique<kdFlowTracker>(config, *state->bridge);
  // Every interface counts its intervals and windows from the listener's start.
  state->tracker->Start(start_us_);
  return state;
}

void FlowListener::ShowRate(const Socket& socket, const RateKey& key, uint32_t rate) {
  // Records come in runs of one exporter's domain: most need no look-up.
  if (last_rate_ == rate && !(key < last_rate_key_) && !(last_rate_key_ < key)) return;
  last_rate_key_ = key;
  last_rate_ = rate;
  auto found = rates_.find(key);
  if (found != rates_.end() && found->second == rate) return;
  if (found == rates_.end() && rates_.size() >= kMaxRatesShown) return;
  rates_[key] = rate;
  const std::string where =
      key.version == 0
          ? "sFlow data source " + std::to_string(key.domain >> 24) + ":" +
                std::to_string(key.domain & 0xFFFFFF)
          : std::string(VersionName(key.version)) + " domain " + std::to_string(key.domain);
  Report("%s: exporter %s, %s: sampling rate 1 in %u", socket.endpoint.text.c_str(),
         key.exporter.ToString().c_str(), where.c_str(), rate);
}

void FlowListener::Record(Socket& socket, const kdFlowRecord& record) {
  ++socket.records;
  ShowRate(socket, RateKey{record.exporter, record.version, record.observation_domain},
           record.sampling_rate);
  if (record.ip_version != 4 && record.ip_version != 6) {
    ++untracked_;
    return;
  }
  kdReportedTraffic traffic;
  kdDecodedPacket& key = traffic.key;
  key.ip_version = record.ip_version;
  memcpy(key.src_addr, record.src_addr, 16);
  memcpy(key.dst_addr, record.dst_addr, 16);
  key.protocol = record.protocol;
  // Only TCP and UDP flows have ports, as for captured packets (ICMP's type and code in the
  // port of some exporters would split its flows).
  key.has_ports = record.protocol == kd_ip::kTcp || record.protocol == kd_ip::kUdp;
  key.src_port = key.has_ports ? record.src_port : 0;
  key.dst_port = key.has_ports ? record.dst_port : 0;
  key.vlan_id = record.vlan_id;
  key.has_src_mac = record.has_src_mac;
  key.has_dst_mac = record.has_dst_mac;
  memcpy(key.src_mac, record.src_mac, 6);
  memcpy(key.dst_mac, record.dst_mac, 6);
  traffic.packets = record.packets;
  traffic.bytes = record.octets;
  traffic.reverse_packets = record.reverse_packets;
  traffic.reverse_bytes = record.reverse_octets;
  Tracker(record.exporter, record.ingress_if).Reported(now_us_, traffic);
}

void FlowListener::Sample(Socket& socket, const kdSflowPacketSample& sample) {
  ++socket.records;
  ShowRate(socket, RateKey{sample.source.agent, 0, sample.source.source_id}, sample.sampling_rate);
  Tracker(sample.source.agent, sample.input_if)
      .Packet(kdSflowLinkType(sample.header_protocol), now_us_, sample.header, sample.header_length,
              sample.WireLength(), sample.sampling_rate);
}

void FlowListener::Counters(const kdSflowInterfaceCounters& counters) {
  // The interface lost what it discarded or found in error; packets the agent never saw have no
  // other trace in the flows.
  const uint64_t dropped = uint64_t{counters.in_discards} + counters.in_errors;
  const auto key = std::make_pair(counters.source.agent.ToString(), counters.if_index);
  auto found = if_drops_.find(key);
  if (found == if_drops_.end()) {
    if (if_drops_.size() < kMaxInterfaces) if_drops_.emplace(key, dropped);
    return;  // the first sample sets where counting starts
  }
  // Counters that went back were reset (an agent restart): the growth starts again from 0.
  const uint64_t growth = dropped >= found->second ? dropped - found->second : dropped;
  found->second = dropped;
  if (growth != 0) Tracker(counters.source.agent, counters.if_index).AddCaptureDropped(growth);
}

void FlowListener::CountDrops(Socket& s, uint32_t overflow) {
  // The kernel's counter wraps at 32 bits; the difference does too.
  const uint32_t growth = overflow - s.overflow;
  if (growth == 0 || growth > 0x80000000u) return;  // older than what was counted already
  s.kernel_dropped += growth;
  s.kernel_dropped_total += growth;
  s.overflow = overflow;
}

void FlowListener::ReportInterval() {
  for (const auto& s : sockets_) {
    const char* name = s->endpoint.text.c_str();
    // A datagram tells the drops before it only: those of a burst that ended the traffic
    // show in the socket's own counters.
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof(memory);
    if (getsockopt(s->fd, SOL_SOCKET, SO_MEMINFO, memory, &length) == 0 &&
        length > SK_MEMINFO_DROPS * sizeof(uint32_t))
      CountDrops(*s, memory[SK_MEMINFO_DROPS]);
    if (counters_ != nullptr)
      counters_->Exporter(s->endpoint.text).kernel_dropped.fetch_add(s->kernel_dropped);
    if (s->kernel_dropped != 0) {
      Report("%s: %llu datagrams dropped by the kernel (receive buffer full; see --listen-buffer)",
             name, static_cast<unsigned long long>(s->kernel_dropped));
      s->kernel_dropped = 0;
    }
    auto counters = s->collector ? s->collector->TakeCounters() : s->sflow->TakeCounters();
    for (const auto& [exporter, c] : counters) {
      if (counters_ != nullptr) {
        ExporterCounters& mine = counters_->Exporter(exporter.ToString());
        mine.datagrams.fetch_add(c.datagrams);
        mine.records.fetch_add(c.records);
        mine.decode_errors.fetch_add(c.malformed + c.truncated_records + c.bad_templates +
                                     c.unknown_version);
        mine.sequence_lost.fetch_add(c.lost_records + c.lost_datagrams);
      }
      std::string troubles = Troubles(c);
      if (!troubles.empty())
        Report("%s: exporter %s: %s", name, exporter.ToString().c_str(), troubles.c_str());
    }
    if (s->collector) {
      uint64_t refused = s->collector->TakeRefusedDatagrams();
      if (refused != 0)
        Report("%s: %llu datagrams of further exporters refused (too many exporters)", name,
               static_cast<unsigned long long>(refused));
    }
  }
  if (untracked_ != 0) {
    Report("%llu flow records without IP addresses passed over",
           static_cast<unsigned long long>(untracked_));
    untracked_ = 0;
  }
}

void FlowListener::Finish() {
  for (auto& entry : interfaces_) entry.second->tracker->Finish();
  if (other_) other_->tracker->Finish();
  ReportInterval();
  for (const auto& s : sockets_) {
    Report("%s: %llu datagrams, %llu %s, %llu dropped by the kernel", s->endpoint.text.c_str(),
           static_cast<unsigned long long>(s->datagrams),
           static_cast<unsigned long long>(s->records),
           s->collector ? "flow records" : "packet samples",
           static_cast<unsigned long long>(s->kernel_dropped_total));
  }
}

}  // namespace kdreplay
