#include "kd_sflow_decoder.h"

#include "kd_sequence_tracker.h"
#include "kd_wire.h"

namespace {

// Sample and record formats of the standard enterprise (0).
constexpr uint32_t kFlowSample = 1;
constexpr uint32_t kCounterSample = 2;
constexpr uint32_t kExpandedFlowSample = 3;
constexpr uint32_t kExpandedCounterSample = 4;
constexpr uint32_t kRawPacketHeader = 1;
constexpr uint32_t kGenericInterfaceCounters = 1;

// Opaque lengths are padded to four bytes.
size_t Padded(size_t n) {
  return (n + 3) & ~size_t{3};
}

// Interfaces in compact flow samples: two bits of format, then the value (format 0: ifIndex).
uint32_t CompactInterface(uint32_t v) {
  return (v >> 30) == 0 ? (v & 0x3FFFFFFFu) : 0;
}

}  // namespace

int kdSflowLinkType(uint32_t header_protocol) {
  switch (header_protocol) {
    case kd_sflow_header::kEthernet:
      return 1;
    case kd_sflow_header::kIpv4:
      return 228;
    case kd_sflow_header::kIpv6:
      return 229;
    default:
      return -1;
  }
}

kdFlowDecodeCounters* kdSflowDecoder::CountersOf(const kdFlowExporter& from) {
  auto it = counters_.find(from);
  if (it != counters_.end()) return &it->second;
  if (counters_.size() >= max_agents_) return nullptr;
  return &counters_[from];
}

std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> kdSflowDecoder::TakeCounters() {
  std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> out;
  for (auto& [who, c] : counters_) {
    if (!c.Empty()) out.emplace_back(who, c);
  }
  // Exporters are forgotten each interval, which also bounds the table over time.
  counters_.clear();
  return out;
}

void kdSflowDecoder::Decode(const kdFlowExporter& from, const uint8_t* data, size_t size) {
  kdFlowDecodeCounters* c = CountersOf(from);
  if (c == nullptr) return;
  ++c->datagrams;
  kdWireReader r(data, size);
  uint32_t version = r.U32();
  if (r.ok() && version != 5) {
    ++c->unknown_version;
    return;
  }
  kdSflowSource source;
  uint32_t address_type = r.U32();
  if (address_type == 1 || address_type == 2) {
    const uint8_t* addr = r.Bytes(address_type == 1 ? 4 : 16);
    if (addr != nullptr) source.agent = kdFlowExporter::FromBytes(address_type == 1 ? 4 : 6, addr);
  } else {
    r.Bytes(size);  // an unknown address type leaves the rest unreadable
  }
  source.sub_agent = r.U32();
  uint32_t sequence = r.U32();
  r.U32();  // uptime
  uint32_t samples = r.U32();
  if (!r.ok()) {
    ++c->malformed;
    return;
  }

  // Agent addresses come from the datagram, so their table is bounded: when it is full it
  // starts again, costing one unchecked datagram per agent.
  AgentKey key{source.agent, source.sub_agent};
  if (agents_.size() >= max_agents_ && agents_.count(key) == 0) agents_.clear();
  auto seq = agents_[key].Check(sequence, sequence + 1);
  c->lost_datagrams += seq.lost;
  c->out_of_order += seq.out_of_order;

  for (uint32_t i = 0; i < samples; ++i) {
    uint32_t format = r.U32();
    uint32_t length = r.U32();
    const uint8_t* body = r.Bytes(length);
    if (!r.ok()) {
      ++c->malformed;
      return;
    }
    kdWireReader s(body, length);
    if (format == kFlowSample || format == kExpandedFlowSample) {
      kdSflowPacketSample p;
      p.source = source;
      s.U32();  // sample sequence
      if (format == kFlowSample) {
        p.source.source_id = s.U32();
      } else {
        uint32_t type = s.U32();
        p.source.source_id = type << 24 | (s.U32() & 0xFFFFFFu);
      }
      p.sampling_rate = s.U32();
      if (p.sampling_rate == 0) p.sampling_rate = 1;
      p.sample_pool = s.U32();
      p.drops = s.U32();
      if (format == kFlowSample) {
        p.input_if = CompactInterface(s.U32());
        p.output_if = CompactInterface(s.U32());
      } else {
        uint32_t in_format = s.U32();
        uint32_t in_value = s.U32();
        uint32_t out_format = s.U32();
        uint32_t out_value = s.U32();
        p.input_if = in_format == 0 ? in_value : 0;
        p.output_if = out_format == 0 ? out_value : 0;
      }
      uint32_t records = s.U32();
      if (!s.ok()) {
        ++c->truncated_records;
        continue;
      }
      for (uint32_t k = 0; k < records; ++k) {
        uint32_t record_format = s.U32();
        uint32_t record_length = s.U32();
        const uint8_t* record = s.Bytes(record_length);
        if (!s.ok()) {
          ++c->truncated_records;
          break;
        }
        if (record_format != kRawPacketHeader) continue;  // extended data we do not use
        kdWireReader h(record, record_length);
        p.header_protocol = h.U32();
        p.frame_length = h.U32();
        p.stripped = h.U32();
        p.header_length = h.U32();
        p.header = h.Bytes(p.header_length);
        if (!h.ok() || Padded(p.header_length) > record_length - 16) {
          ++c->truncated_records;
          continue;
        }
        ++c->records;
        on_packet_(p);
      }
    } else if (format == kCounterSample || format == kExpandedCounterSample) {
      kdSflowInterfaceCounters ic;
      ic.source = source;
      s.U32();  // sample sequence
      if (format == kCounterSample) {
        ic.source.source_id = s.U32();
      } else {
        uint32_t type = s.U32();
        ic.source.source_id = type << 24 | (s.U32() & 0xFFFFFFu);
      }
      uint32_t records = s.U32();
      for (uint32_t k = 0; k < records && s.ok(); ++k) {
        uint32_t record_format = s.U32();
        uint32_t record_length = s.U32();
        const uint8_t* record = s.Bytes(record_length);
        if (!s.ok()) break;
        if (record_format != kGenericInterfaceCounters) continue;
        kdWireReader g(record, record_length);
        ic.if_index = g.U32();
        ic.if_type = g.U32();
        ic.if_speed = g.U64();
        ic.if_direction = g.U32();
        ic.if_status = g.U32();
        ic.in_octets = g.U64();
        ic.in_unicast = g.U32();
        ic.in_multicast = g.U32();
        ic.in_broadcast = g.U32();
        ic.in_discards = g.U32();
        ic.in_errors = g.U32();
        ic.in_unknown_protocols = g.U32();
        ic.out_octets = g.U64();
        ic.out_unicast = g.U32();
        ic.out_multicast = g.U32();
        ic.out_broadcast = g.U32();
        ic.out_discards = g.U32();
        ic.out_errors = g.U32();
        ic.promiscuous = g.U32();
        if (!g.ok()) {
          ++c->truncated_records;
          continue;
        }
        ++c->options_records;
        on_counters_(ic);
      }
      if (!s.ok()) ++c->truncated_records;
    } else {
      ++c->unsupported;
    }
  }
}
