#include "replay_flow_exporter.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "replay_report.h"

namespace kdreplay {

namespace {

// Flows held at once; the packets of further flows are not exported, and counted.
constexpr size_t kMaxFlows = 1'000'000;
// A collector's socket takes bursts in bounds: the end of a file sends every flow at once.
constexpr uint64_t kDatagramsPerPause = 64;

// Two 16-byte addresses compared inline: this runs for every packet.
bool SameAddress(const uint8_t* a, const uint8_t* b) {
  uint64_t a0, a1, b0, b1;
  memcpy(&a0, a, 8);
  memcpy(&a1, a + 8, 8);
  memcpy(&b0, b, 8);
  memcpy(&b1, b + 8, 8);
  return a0 == b0 && a1 == b1;
}

}  // namespace

FlowExporter::FlowExporter(FlowExportOptions options) : options_(std::move(options)) {}

FlowExporter::~FlowExporter() {
  if (fd_ >= 0) close(fd_);
}

bool FlowExporter::Open(std::string& error) {
  const FlowEndpoint& to = options_.collector;
  fd_ = socket(to.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 ||
      connect(fd_, reinterpret_cast<const sockaddr*>(&to.address), to.address_length) != 0) {
    error = to.text + ": " + strerror(errno);
    return false;
  }
  send_ = [this](const kdDatagram& datagram, std::string& reason) {
    if (send(fd_, datagram.data(), datagram.size(), 0) >= 0) return true;
    reason = strerror(errno);
    return false;
  };
  return true;
}

void FlowExporter::ObservePacket(const kdDecodedPacket& p, uint64_t time_us, uint32_t if_index,
                                 uint64_t digest, uint32_t& slot) {
  ObserveTime(time_us);
  const bool has_ports = p.has_ports && !p.later_fragment;
  const uint16_t sport = has_ports ? p.src_port : 0;
  const uint16_t dport = has_ports ? p.dst_port : 0;
  // The digests of two interfaces' trackers differ by their seeds; the index keeps them apart
  // further.
  const uint64_t key = digest ^ (uint64_t{if_index} << 32);
  // Most packets find their entry through the slot; the first of a flow, and the first after
  // its entry was exported and freed, look it up.
  if (slot == 0 || slot > entries_.size() || !entries_[slot - 1].used ||
      entries_[slot - 1].key != key) {
    auto found = index_.find(key);
    if (found != index_.end()) {
      slot = found->second + 1;
    } else {
      if (index_.size() >= kMaxFlows) {
        ++untracked_packets_;
        return;
      }
      uint32_t position;
      if (!free_.empty()) {
        position = free_.back();
        free_.pop_back();
        entries_[position] = Entry();
      } else {
        position = static_cast<uint32_t>(entries_.size());
        entries_.emplace_back();
      }
      index_.emplace(key, position);
      slot = position + 1;
      Entry& fresh = entries_[position];
      fresh.key = key;
      fresh.used = true;
      kdFlowRecord& r = fresh.record;
      r.ip_version = p.ip_version;
      memcpy(r.src_addr, p.src_addr, 16);
      memcpy(r.dst_addr, p.dst_addr, 16);
      r.src_port = sport;
      r.dst_port = dport;
      r.protocol = p.protocol;
      r.vlan_id = p.vlan_id;
      r.ingress_if = if_index == kdInterface::kNoIndex ? 0 : if_index;
      fresh.first_us = time_us;
    }
  }
  Entry& entry = entries_[slot - 1];
  kdFlowRecord& r = entry.record;
  if (entry.first_us == 0) entry.first_us = time_us;  // counters were exported and reset
  entry.last_us = time_us;
  const bool forward = r.src_port == sport && SameAddress(r.src_addr, p.src_addr);
  uint8_t* source_mac = forward ? r.src_mac : r.dst_mac;
  uint8_t* destination_mac = forward ? r.dst_mac : r.src_mac;
  bool& has_source_mac = forward ? r.has_src_mac : r.has_dst_mac;
  bool& has_destination_mac = forward ? r.has_dst_mac : r.has_src_mac;
  if (p.has_src_mac && !has_source_mac) {
    memcpy(source_mac, p.src_mac, 6);
    has_source_mac = true;
  }
  if (p.has_dst_mac && !has_destination_mac) {
    memcpy(destination_mac, p.dst_mac, 6);
    has_destination_mac = true;
  }
  const uint8_t flags = p.has_tcp_flags ? p.tcp_flags : 0;
  if (forward) {
    r.octets += p.ip_wire_length;
    ++r.packets;
    r.tcp_flags |= flags;
    entry.fin_source = entry.fin_source || (flags & kd_tcp::kFin);
  } else {
    r.reverse_octets += p.ip_wire_length;
    ++r.reverse_packets;
    r.reverse_tcp_flags |= flags;
    r.biflow = true;
    entry.fin_reverse = entry.fin_reverse || (flags & kd_tcp::kFin);
  }
  if ((flags & kd_tcp::kRst) || (entry.fin_source && entry.fin_reverse)) entry.ended = true;
}

void FlowExporter::ObserveTime(uint64_t time_us) {
  if (!started_) {
    started_ = true;
    now_us_ = time_us;
    next_sweep_us_ = time_us + 1'000'000;
    kdFlowEncoderOptions encoder;
    encoder.observation_domain = options_.domain;
    encoder.biflow = options_.biflow;
    encoder.template_refresh_messages = options_.template_datagrams;
    encoder.template_refresh_ms = uint64_t{options_.template_seconds} * 1000;
    const uint64_t boot_ms = time_us / 1000;
    switch (options_.collector.scheme) {
      case FlowEndpoint::Scheme::kNetflow5:
        v5_encoder_ = std::make_unique<kdNetflow5Encoder>(0, 0, boot_ms);
        break;
      case FlowEndpoint::Scheme::kNetflow9:
        template_encoder_ = std::make_unique<kdTemplateFlowEncoder>(
            kdTemplateFlowEncoder::Dialect::kNetflow9, encoder, boot_ms);
        break;
      default:
        template_encoder_ = std::make_unique<kdTemplateFlowEncoder>(
            kdTemplateFlowEncoder::Dialect::kIpfix, encoder, boot_ms);
        break;
    }
  }
  if (time_us > now_us_) now_us_ = time_us;
  if (now_us_ >= next_sweep_us_) {
    Sweep(now_us_, false);
    next_sweep_us_ = now_us_ + 1'000'000;
  }
}

void FlowExporter::Sweep(uint64_t time_us, bool force) {
  const uint64_t active_us = uint64_t{options_.active_seconds} * 1'000'000;
  const uint64_t inactive_us = uint64_t{options_.inactive_seconds} * 1'000'000;
  std::vector<kdFlowRecord> due;
  for (uint32_t position = 0; position < entries_.size(); ++position) {
    Entry& entry = entries_[position];
    if (!entry.used) continue;
    uint8_t reason = kd_flow_end::kNone;
    if (force) {
      reason = kd_flow_end::kForced;
    } else if (entry.ended) {
      reason = kd_flow_end::kEndOfFlow;
    } else if (time_us - entry.last_us >= inactive_us) {
      reason = kd_flow_end::kIdle;
    } else if (entry.first_us != 0 && time_us - entry.first_us >= active_us) {
      reason = kd_flow_end::kActive;
    }
    if (reason == kd_flow_end::kNone) continue;
    // A flow exported by the active timeout and quiet since has nothing more to say.
    if (entry.first_us != 0) {
      kdFlowRecord record = entry.record;
      record.first_ms = entry.first_us / 1000;
      record.last_ms = entry.last_us / 1000;
      record.end_reason = reason;
      due.push_back(record);
    }
    if (reason != kd_flow_end::kActive) {
      entry.used = false;
      index_.erase(entry.key);
      free_.push_back(position);
      continue;
    }
    kdFlowRecord& r = entry.record;
    r.octets = r.packets = r.reverse_octets = r.reverse_packets = 0;
    r.tcp_flags = r.reverse_tcp_flags = 0;
    r.biflow = false;
    entry.first_us = 0;
  }
  if (!due.empty()) Send(due, time_us);
}

void FlowExporter::Send(std::vector<kdFlowRecord>& records, uint64_t now_us) {
  flows_exported_ += records.size();
  const uint64_t now_ms = now_us / 1000;
  std::vector<kdDatagram> datagrams = template_encoder_ ? template_encoder_->Encode(records, now_ms)
                                                        : v5_encoder_->Encode(records, now_ms);
  for (size_t i = 0; i < datagrams.size(); ++i) {
    if (i != 0 && i % kDatagramsPerPause == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::string error;
    if (send_ && send_(datagrams[i], error)) {
      ++datagrams_;
    } else {
      if (send_errors_++ == 0) first_send_error_ = error;
    }
  }
}

void FlowExporter::Finish() {
  if (started_) Sweep(now_us_, true);
  const char* name = options_.collector.text.c_str();
  Report("%s: %llu flows exported in %llu datagrams", name,
         static_cast<unsigned long long>(flows_exported_),
         static_cast<unsigned long long>(datagrams_));
  if (send_errors_ != 0)
    Report("%s: %llu datagrams not sent (%s)", name, static_cast<unsigned long long>(send_errors_),
           first_send_error_.c_str());
  const uint64_t skipped =
      template_encoder_ ? template_encoder_->skipped() : (v5_encoder_ ? v5_encoder_->skipped() : 0);
  if (skipped != 0)
    Report("%s: %llu flows not exported (IPv6 in NetFlow v5)", name,
           static_cast<unsigned long long>(skipped));
  if (untracked_packets_ != 0)
    Report("%s: %llu packets not exported: %zu flows held already", name,
           static_cast<unsigned long long>(untracked_packets_), kMaxFlows);
}

}  // namespace kdreplay
