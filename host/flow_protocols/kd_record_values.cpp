#include "kd_record_values.h"

#include <cstring>

#include "kd_ipfix_elements.h"

namespace {

uint64_t Unsigned(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

constexpr uint64_t kNtpToUnixSeconds = 2208988800ull;

// Times as elements give them, made absolute once the whole record is read.
struct Times {
  bool has_start_ms = false, has_end_ms = false;
  uint64_t start_ms = 0, end_ms = 0;
  bool has_start_up = false, has_end_up = false;
  uint32_t start_up = 0, end_up = 0;
  bool has_init = false;
  uint64_t init_ms = 0;
};

void SetMac(uint8_t* mac, bool& has, const uint8_t* p) {
  static const uint8_t kZero[6] = {};
  has = std::memcmp(p, kZero, 6) != 0;
  if (has) std::memcpy(mac, p, 6);
}

class Reader {
 public:
  Reader(kdRecordValues& out) : out_(out), rec_(out.record) {}

  void Field(const kdTemplateField& f, const uint8_t* p, size_t n) {
    if (f.enterprise == kd_ie::kReversePen) {
      Reverse(f.id, p, n);
    } else if (f.enterprise == 0) {
      Forward(f.id, p, n);
    }
  }

  void Finish(const kdRecordClock& clock) {
    if (!has_octets_ && has_total_octets_) rec_.octets = total_octets_;
    if (!has_packets_ && has_total_packets_) rec_.packets = total_packets_;
    if (!has_rev_octets_ && has_rev_total_octets_) rec_.reverse_octets = rev_total_octets_;
    if (!has_rev_packets_ && has_rev_total_packets_) rec_.reverse_packets = rev_total_packets_;
    if (sampling_space_ && sampling_selected_ != 0) {
      out_.rate =
          static_cast<uint32_t>((sampling_selected_ + sampling_space_) / sampling_selected_);
    }
    uint64_t base = 0;
    bool has_base = false;
    if (t_.has_init) {
      base = t_.init_ms;
      has_base = true;
      out_.has_system_init = true;
      out_.system_init_ms = t_.init_ms;
    } else if (clock.has_system_init) {
      base = clock.system_init_ms;
      has_base = true;
    } else if (clock.has_uptime_base) {
      base = clock.uptime_base_ms;
      has_base = true;
    }
    if (t_.has_start_ms) {
      rec_.first_ms = t_.start_ms;
    } else if (t_.has_start_up && has_base) {
      rec_.first_ms = UptimeToUnix(clock, base, t_.start_up);
    } else if (has_start_delta_) {
      rec_.first_ms = clock.export_ms - start_delta_us_ / 1000;
    }
    if (t_.has_end_ms) {
      rec_.last_ms = t_.end_ms;
    } else if (t_.has_end_up && has_base) {
      rec_.last_ms = UptimeToUnix(clock, base, t_.end_up);
    } else if (has_end_delta_) {
      rec_.last_ms = clock.export_ms - end_delta_us_ / 1000;
    }
  }

 private:
  // Uptimes are 32-bit milliseconds that wrap after 49 days; v9's base was worked out from the
  // header's uptime, so the distance back from there is what counts.
  static uint64_t UptimeToUnix(const kdRecordClock& clock, uint64_t base, uint32_t uptime) {
    if (!clock.has_uptime_base) return base + uptime;
    uint32_t header_uptime = static_cast<uint32_t>(clock.export_ms - clock.uptime_base_ms);
    return clock.export_ms - static_cast<uint32_t>(header_uptime - uptime);
  }

  void Forward(uint16_t id, const uint8_t* p, size_t n) {
    bool int_ok = n >= 1 && n <= 8;
    switch (id) {
      case kd_ie::kOctetDeltaCount:
        if (int_ok) rec_.octets = Unsigned(p, n), has_octets_ = true;
        break;
      case kd_ie::kPacketDeltaCount:
        if (int_ok) rec_.packets = Unsigned(p, n), has_packets_ = true;
        break;
      case kd_ie::kOctetTotalCount:
        if (int_ok) total_octets_ = Unsigned(p, n), has_total_octets_ = true;
        break;
      case kd_ie::kPacketTotalCount:
        if (int_ok) total_packets_ = Unsigned(p, n), has_total_packets_ = true;
        break;
      case kd_ie::kProtocolIdentifier:
        if (n == 1) rec_.protocol = p[0];
        break;
      case kd_ie::kTcpControlBits:
        if (n == 1 || n == 2) rec_.tcp_flags = p[n - 1];
        break;
      case kd_ie::kSourceTransportPort:
        if (n == 2) rec_.src_port = static_cast<uint16_t>(Unsigned(p, 2));
        break;
      case kd_ie::kDestinationTransportPort:
        if (n == 2) rec_.dst_port = static_cast<uint16_t>(Unsigned(p, 2));
        break;
      case kd_ie::kSourceIpv4Address:
        if (n == 4) Address(4, rec_.src_addr, p);
        break;
      case kd_ie::kDestinationIpv4Address:
        if (n == 4) Address(4, rec_.dst_addr, p);
        break;
      case kd_ie::kSourceIpv6Address:
        if (n == 16) Address(6, rec_.src_addr, p);
        break;
      case kd_ie::kDestinationIpv6Address:
        if (n == 16) Address(6, rec_.dst_addr, p);
        break;
      case kd_ie::kIngressInterface:
        if (n >= 1 && n <= 4) rec_.ingress_if = static_cast<uint32_t>(Unsigned(p, n));
        break;
      case kd_ie::kEgressInterface:
        if (n >= 1 && n <= 4) rec_.egress_if = static_cast<uint32_t>(Unsigned(p, n));
        break;
      case kd_ie::kVlanId:
      case kd_ie::kDot1qVlanId:
        if (n == 2) rec_.vlan_id = static_cast<uint16_t>(Unsigned(p, 2) & 0x0FFF);
        break;
      case kd_ie::kSourceMacAddress:
        if (n == 6) SetMac(rec_.src_mac, rec_.has_src_mac, p);
        break;
      case kd_ie::kDestinationMacAddress:
        if (n == 6) SetMac(rec_.dst_mac, rec_.has_dst_mac, p);
        break;
      case kd_ie::kFlowEndReason:
        if (n == 1) rec_.end_reason = p[0];
        break;
      case kd_ie::kFlowStartSeconds:
        if (n == 4) t_.start_ms = Unsigned(p, 4) * 1000, t_.has_start_ms = true;
        break;
      case kd_ie::kFlowEndSeconds:
        if (n == 4) t_.end_ms = Unsigned(p, 4) * 1000, t_.has_end_ms = true;
        break;
      case kd_ie::kFlowStartMilliseconds:
        if (n == 8) t_.start_ms = Unsigned(p, 8), t_.has_start_ms = true;
        break;
      case kd_ie::kFlowEndMilliseconds:
        if (n == 8) t_.end_ms = Unsigned(p, 8), t_.has_end_ms = true;
        break;
      case kd_ie::kFlowStartMicroseconds:
        if (n == 8) t_.start_ms = NtpToMs(p), t_.has_start_ms = true;
        break;
      case kd_ie::kFlowEndMicroseconds:
        if (n == 8) t_.end_ms = NtpToMs(p), t_.has_end_ms = true;
        break;
      case kd_ie::kFlowStartSysUpTime:
        if (n == 4) t_.start_up = static_cast<uint32_t>(Unsigned(p, 4)), t_.has_start_up = true;
        break;
      case kd_ie::kFlowEndSysUpTime:
        if (n == 4) t_.end_up = static_cast<uint32_t>(Unsigned(p, 4)), t_.has_end_up = true;
        break;
      case kd_ie::kFlowStartDeltaMicroseconds:
        if (n == 4) start_delta_us_ = Unsigned(p, 4), has_start_delta_ = true;
        break;
      case kd_ie::kFlowEndDeltaMicroseconds:
        if (n == 4) end_delta_us_ = Unsigned(p, 4), has_end_delta_ = true;
        break;
      case kd_ie::kSystemInitTimeMilliseconds:
        if (n == 8) t_.init_ms = Unsigned(p, 8), t_.has_init = true;
        break;
      case kd_ie::kSamplingInterval:
      case kd_ie::kSamplerRandomInterval:
        if (int_ok && n <= 4) out_.rate = static_cast<uint32_t>(Unsigned(p, n));
        break;
      case kd_ie::kSamplingPacketInterval:
        if (int_ok && n <= 4) sampling_selected_ = Unsigned(p, n);
        break;
      case kd_ie::kSamplingPacketSpace:
        if (int_ok && n <= 4) sampling_space_ = Unsigned(p, n);
        break;
      case kd_ie::kSamplerId:
      case kd_ie::kSelectorId:
        if (int_ok) out_.sampler_id = Unsigned(p, n), out_.has_sampler_id = true;
        break;
      default:
        break;
    }
  }

  void Reverse(uint16_t id, const uint8_t* p, size_t n) {
    if (n < 1 || n > 8) return;
    switch (id) {
      case kd_ie::kOctetDeltaCount:
        rec_.reverse_octets = Unsigned(p, n), has_rev_octets_ = true;
        break;
      case kd_ie::kPacketDeltaCount:
        rec_.reverse_packets = Unsigned(p, n), has_rev_packets_ = true;
        break;
      case kd_ie::kOctetTotalCount:
        rev_total_octets_ = Unsigned(p, n), has_rev_total_octets_ = true;
        break;
      case kd_ie::kPacketTotalCount:
        rev_total_packets_ = Unsigned(p, n), has_rev_total_packets_ = true;
        break;
      case kd_ie::kTcpControlBits:
        if (n <= 2) rec_.reverse_tcp_flags = p[n - 1];
        break;
      default:
        return;  // other reverse elements say nothing a record keeps
    }
    rec_.biflow = true;
  }

  void Address(uint8_t version, uint8_t* to, const uint8_t* p) {
    rec_.ip_version = version;
    std::memcpy(to, p, version == 6 ? 16 : 4);
  }

  static uint64_t NtpToMs(const uint8_t* p) {
    uint64_t seconds = Unsigned(p, 4);
    uint64_t fraction = Unsigned(p + 4, 4);
    uint64_t unix_seconds = seconds >= kNtpToUnixSeconds ? seconds - kNtpToUnixSeconds : 0;
    return unix_seconds * 1000 + (fraction * 1000 >> 32);
  }

  kdRecordValues& out_;
  kdFlowRecord& rec_;
  Times t_;
  bool has_octets_ = false, has_packets_ = false;
  bool has_total_octets_ = false, has_total_packets_ = false;
  uint64_t total_octets_ = 0, total_packets_ = 0;
  bool has_rev_octets_ = false, has_rev_packets_ = false;
  bool has_rev_total_octets_ = false, has_rev_total_packets_ = false;
  uint64_t rev_total_octets_ = 0, rev_total_packets_ = 0;
  bool has_start_delta_ = false, has_end_delta_ = false;
  uint64_t start_delta_us_ = 0, end_delta_us_ = 0;
  uint64_t sampling_selected_ = 0, sampling_space_ = 0;
};

}  // namespace

bool kdReadRecordValues(kdWireReader& r, const kdFlowTemplate& t, const kdRecordClock& clock,
                        kdRecordValues& out) {
  out = kdRecordValues();
  Reader reader(out);
  if (!kdVisitRecord(r, t, [&](const kdTemplateField& f, const uint8_t* p, size_t n) {
        reader.Field(f, p, n);
      })) {
    return false;
  }
  reader.Finish(clock);
  return true;
}
