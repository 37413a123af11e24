#include "kd_flow_encoder.h"

#include <algorithm>
#include <cstring>

#include "kd_flow_template.h"
#include "kd_ipfix_elements.h"
#include "kd_wire.h"

namespace {

constexpr uint16_t kTemplateV4 = 256;
constexpr uint16_t kTemplateV6 = 257;

// The fields of our templates, in record order.
std::vector<kdTemplateField> Fields(kdTemplateFlowEncoder::Dialect dialect, uint8_t ip_version,
                                    bool biflow) {
  bool ipfix = dialect == kdTemplateFlowEncoder::Dialect::kIpfix;
  bool v6 = ip_version == 6;
  std::vector<kdTemplateField> f = {
      {v6 ? kd_ie::kSourceIpv6Address : kd_ie::kSourceIpv4Address, uint16_t(v6 ? 16 : 4), 0},
      {v6 ? kd_ie::kDestinationIpv6Address : kd_ie::kDestinationIpv4Address, uint16_t(v6 ? 16 : 4),
       0},
      {kd_ie::kSourceTransportPort, 2, 0},
      {kd_ie::kDestinationTransportPort, 2, 0},
      {kd_ie::kProtocolIdentifier, 1, 0},
      {kd_ie::kTcpControlBits, uint16_t(ipfix ? 2 : 1), 0},
      {kd_ie::kVlanId, 2, 0},
      {kd_ie::kSourceMacAddress, 6, 0},
      {kd_ie::kDestinationMacAddress, 6, 0},
      {kd_ie::kIngressInterface, 4, 0},
      {kd_ie::kEgressInterface, 4, 0},
      {kd_ie::kOctetDeltaCount, 8, 0},
      {kd_ie::kPacketDeltaCount, 8, 0},
  };
  if (ipfix) {
    f.push_back({kd_ie::kFlowStartMilliseconds, 8, 0});
    f.push_back({kd_ie::kFlowEndMilliseconds, 8, 0});
    f.push_back({kd_ie::kFlowEndReason, 1, 0});
  } else {
    // v9 has no absolute times; its collectors expect uptimes.
    f.push_back({kd_ie::kFlowStartSysUpTime, 4, 0});
    f.push_back({kd_ie::kFlowEndSysUpTime, 4, 0});
  }
  if (ipfix && biflow) {
    f.push_back({kd_ie::kOctetDeltaCount, 8, kd_ie::kReversePen});
    f.push_back({kd_ie::kPacketDeltaCount, 8, kd_ie::kReversePen});
    f.push_back({kd_ie::kTcpControlBits, 2, kd_ie::kReversePen});
  }
  return f;
}

size_t RecordLength(const std::vector<kdTemplateField>& fields) {
  size_t n = 0;
  for (const auto& f : fields) n += f.length;
  return n;
}

void Pad4(kdWireWriter& w, size_t set_start) {
  while ((w.size() - set_start) % 4 != 0) w.U8(0);
}

}  // namespace

std::vector<kdFlowRecord> kdSplitBiflow(const kdFlowRecord& record) {
  kdFlowRecord forward = record;
  forward.biflow = false;
  forward.reverse_octets = forward.reverse_packets = 0;
  forward.reverse_tcp_flags = 0;
  std::vector<kdFlowRecord> out;
  if (record.packets != 0 || record.reverse_packets == 0) out.push_back(forward);
  if (record.reverse_packets != 0) {
    kdFlowRecord r = forward;
    std::memcpy(r.src_addr, record.dst_addr, 16);
    std::memcpy(r.dst_addr, record.src_addr, 16);
    r.src_port = record.dst_port;
    r.dst_port = record.src_port;
    r.has_src_mac = record.has_dst_mac;
    r.has_dst_mac = record.has_src_mac;
    std::memcpy(r.src_mac, record.dst_mac, 6);
    std::memcpy(r.dst_mac, record.src_mac, 6);
    r.ingress_if = record.egress_if;
    r.egress_if = record.ingress_if;
    r.octets = record.reverse_octets;
    r.packets = record.reverse_packets;
    r.tcp_flags = record.reverse_tcp_flags;
    out.push_back(r);
  }
  return out;
}

kdTemplateFlowEncoder::kdTemplateFlowEncoder(Dialect dialect, kdFlowEncoderOptions options,
                                             uint64_t boot_ms)
    : dialect_(dialect), options_(options), boot_ms_(boot_ms) {
  if (dialect_ == Dialect::kNetflow9) options_.biflow = false;
}

bool kdTemplateFlowEncoder::TemplatesDue(uint64_t now_ms) const {
  return !templates_sent_ || messages_since_templates_ >= options_.template_refresh_messages ||
         now_ms - templates_sent_ms_ >= options_.template_refresh_ms;
}

void kdTemplateFlowEncoder::StartMessage(kdDatagram& m, uint64_t now_ms) {
  m.clear();
  kdWireWriter w(m);
  if (dialect_ == Dialect::kIpfix) {
    w.U16(kd_flow_version::kIpfix);
    w.U16(0);  // length, when known
    w.U32(static_cast<uint32_t>(now_ms / 1000));
    w.U32(sequence_);  // data records sent before this message
    w.U32(options_.observation_domain);
  } else {
    // The header's clock has whole seconds only: round up so that no record ends after it.
    uint64_t export_ms = (now_ms + 999) / 1000 * 1000;
    w.U16(kd_flow_version::kNetflow9);
    w.U16(0);  // record count, when known
    w.U32(static_cast<uint32_t>(export_ms - boot_ms_));
    w.U32(static_cast<uint32_t>(export_ms / 1000));
    w.U32(sequence_);  // datagrams sent before this one
    w.U32(options_.observation_domain);
  }
}

size_t kdTemplateFlowEncoder::WriteTemplates(kdDatagram& m) {
  kdWireWriter w(m);
  bool ipfix = dialect_ == Dialect::kIpfix;
  size_t set_start = w.size();
  w.U16(ipfix ? 2 : 0);
  w.U16(0);
  for (uint8_t v : {uint8_t{4}, uint8_t{6}}) {
    auto fields = Fields(dialect_, v, options_.biflow);
    w.U16(v == 6 ? kTemplateV6 : kTemplateV4);
    w.U16(static_cast<uint16_t>(fields.size()));
    for (const auto& f : fields) {
      w.U16(static_cast<uint16_t>(f.id | (f.enterprise != 0 ? 0x8000 : 0)));
      w.U16(f.length);
      if (f.enterprise != 0) w.U32(f.enterprise);
    }
  }
  Pad4(w, set_start);
  w.Patch16(set_start + 2, static_cast<uint16_t>(w.size() - set_start));
  return 2;
}

void kdTemplateFlowEncoder::WriteRecord(kdDatagram& m, const kdFlowRecord& f) {
  kdWireWriter w(m);
  size_t addr_len = f.ip_version == 6 ? 16 : 4;
  for (const auto& field : Fields(dialect_, f.ip_version, options_.biflow)) {
    bool reverse = field.enterprise == kd_ie::kReversePen;
    switch (field.id) {
      case kd_ie::kSourceIpv4Address:
      case kd_ie::kSourceIpv6Address:
        w.Bytes(f.src_addr, addr_len);
        break;
      case kd_ie::kDestinationIpv4Address:
      case kd_ie::kDestinationIpv6Address:
        w.Bytes(f.dst_addr, addr_len);
        break;
      case kd_ie::kSourceTransportPort:
        w.U16(f.src_port);
        break;
      case kd_ie::kDestinationTransportPort:
        w.U16(f.dst_port);
        break;
      case kd_ie::kProtocolIdentifier:
        w.U8(f.protocol);
        break;
      case kd_ie::kTcpControlBits:
        w.Uint(reverse ? f.reverse_tcp_flags : f.tcp_flags, field.length);
        break;
      case kd_ie::kVlanId:
        w.U16(f.vlan_id);
        break;
      case kd_ie::kSourceMacAddress:
        if (f.has_src_mac)
          w.Bytes(f.src_mac, 6);
        else
          w.Zeros(6);
        break;
      case kd_ie::kDestinationMacAddress:
        if (f.has_dst_mac)
          w.Bytes(f.dst_mac, 6);
        else
          w.Zeros(6);
        break;
      case kd_ie::kIngressInterface:
        w.U32(f.ingress_if);
        break;
      case kd_ie::kEgressInterface:
        w.U32(f.egress_if);
        break;
      case kd_ie::kOctetDeltaCount:
        w.U64(reverse ? f.reverse_octets : f.octets);
        break;
      case kd_ie::kPacketDeltaCount:
        w.U64(reverse ? f.reverse_packets : f.packets);
        break;
      case kd_ie::kFlowStartMilliseconds:
        w.U64(f.first_ms);
        break;
      case kd_ie::kFlowEndMilliseconds:
        w.U64(f.last_ms);
        break;
      case kd_ie::kFlowEndReason:
        w.U8(f.end_reason);
        break;
      case kd_ie::kFlowStartSysUpTime:
        w.U32(static_cast<uint32_t>(f.first_ms - boot_ms_));
        break;
      case kd_ie::kFlowEndSysUpTime:
        w.U32(static_cast<uint32_t>(f.last_ms - boot_ms_));
        break;
      default:
        break;
    }
  }
}

void kdTemplateFlowEncoder::FinishMessage(kdDatagram& m, uint32_t data_records,
                                          uint16_t v9_records) {
  kdWireWriter w(m);
  if (dialect_ == Dialect::kIpfix) {
    w.Patch16(2, static_cast<uint16_t>(m.size()));
    sequence_ += data_records;
  } else {
    w.Patch16(2, v9_records);
    sequence_ += 1;
  }
  ++messages_since_templates_;
}

std::vector<kdDatagram> kdTemplateFlowEncoder::Encode(const std::vector<kdFlowRecord>& records,
                                                      uint64_t now_ms) {
  bool ipfix = dialect_ == Dialect::kIpfix;
  std::vector<kdFlowRecord> flows;
  for (const kdFlowRecord& r : records) {
    if (r.ip_version != 4 && r.ip_version != 6) {
      ++skipped_;
    } else if (ipfix && options_.biflow) {
      flows.push_back(r);
    } else {
      for (kdFlowRecord& u : kdSplitBiflow(r)) flows.push_back(u);
    }
  }

  std::vector<kdDatagram> out;
  kdDatagram m;
  bool open = false;
  size_t set_start = 0;
  uint16_t set_template = 0;
  uint32_t data_records = 0;
  uint16_t v9_records = 0;
  auto close_set = [&] {
    if (set_template == 0) return;
    kdWireWriter w(m);
    Pad4(w, set_start);
    w.Patch16(set_start + 2, static_cast<uint16_t>(w.size() - set_start));
    set_template = 0;
  };
  auto finish = [&] {
    close_set();
    FinishMessage(m, data_records, v9_records);
    out.push_back(std::move(m));
    m = kdDatagram();
    open = false;
  };

  for (const kdFlowRecord& f : flows) {
    uint16_t tid = f.ip_version == 6 ? kTemplateV6 : kTemplateV4;
    size_t length = RecordLength(Fields(dialect_, f.ip_version, options_.biflow));
    size_t need = length + (set_template == tid ? 0 : 4) + 3;  // the set's padding at worst
    if (open && m.size() + need > options_.max_message_size) finish();
    if (!open) {
      StartMessage(m, now_ms);
      data_records = 0;
      v9_records = 0;
      if (TemplatesDue(now_ms)) {
        v9_records = static_cast<uint16_t>(v9_records + WriteTemplates(m));
        templates_sent_ = true;
        templates_sent_ms_ = now_ms;
        messages_since_templates_ = 0;
      }
      open = true;
    }
    if (set_template != tid) {
      close_set();
      kdWireWriter w(m);
      set_start = w.size();
      w.U16(tid);
      w.U16(0);
      set_template = tid;
    }
    WriteRecord(m, f);
    ++data_records;
    ++v9_records;
  }
  if (open) finish();
  return out;
}

std::vector<kdDatagram> kdNetflow5Encoder::Encode(const std::vector<kdFlowRecord>& records,
                                                  uint64_t now_ms) {
  std::vector<kdFlowRecord> flows;
  for (const kdFlowRecord& r : records) {
    if (r.ip_version != 4) {
      ++skipped_;
      continue;
    }
    for (kdFlowRecord& u : kdSplitBiflow(r)) flows.push_back(u);
  }
  std::vector<kdDatagram> out;
  uint32_t uptime = static_cast<uint32_t>(now_ms - boot_ms_);
  for (size_t start = 0; start < flows.size(); start += 30) {
    size_t count = std::min<size_t>(30, flows.size() - start);
    kdDatagram m;
    kdWireWriter w(m);
    w.U16(kd_flow_version::kNetflow5);
    w.U16(static_cast<uint16_t>(count));
    w.U32(uptime);
    w.U32(static_cast<uint32_t>(now_ms / 1000));
    w.U32(static_cast<uint32_t>(now_ms % 1000 * 1000000));
    w.U32(sequence_);
    w.U8(engine_type_);
    w.U8(engine_id_);
    w.U16(0);  // not sampled
    for (size_t i = start; i < start + count; ++i) {
      const kdFlowRecord& f = flows[i];
      w.Bytes(f.src_addr, 4);
      w.Bytes(f.dst_addr, 4);
      w.U32(0);  // next hop
      w.U16(static_cast<uint16_t>(f.ingress_if));
      w.U16(static_cast<uint16_t>(f.egress_if));
      w.U32(static_cast<uint32_t>(f.packets));
      w.U32(static_cast<uint32_t>(f.octets));
      w.U32(static_cast<uint32_t>(f.first_ms - boot_ms_));
      w.U32(static_cast<uint32_t>(f.last_ms - boot_ms_));
      w.U16(f.src_port);
      w.U16(f.dst_port);
      w.U8(0);
      w.U8(f.tcp_flags);
      w.U8(f.protocol);
      w.Zeros(1 + 2 + 2 + 1 + 1 + 2);
    }
    sequence_ += static_cast<uint32_t>(count);
    out.push_back(std::move(m));
  }
  return out;
}
