// What our encoders write, our decoders read back member for member.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "flow_messages.h"
#include "kd_flow_encoder.h"

namespace {

using flow_testing::Collected;
using flow_testing::kExporter;

constexpr uint64_t kBootMs = 1699990000000;
constexpr uint64_t kNowMs = 1700000000500;

std::string Describe(const kdFlowRecord& r) {
  std::ostringstream s;
  char src[INET6_ADDRSTRLEN], dst[INET6_ADDRSTRLEN];
  int family = r.ip_version == 6 ? AF_INET6 : AF_INET;
  inet_ntop(family, r.src_addr, src, sizeof(src));
  inet_ntop(family, r.dst_addr, dst, sizeof(dst));
  s << "v" << r.version << " " << r.exporter.ToString() << "/" << r.observation_domain << " ip"
    << int(r.ip_version) << " " << src << ":" << r.src_port << " > " << dst << ":" << r.dst_port
    << " proto " << int(r.protocol) << " vlan " << r.vlan_id << " mac " << r.has_src_mac
    << r.has_dst_mac << " " << int(r.src_mac[5]) << "/" << int(r.dst_mac[5]) << " if "
    << r.ingress_if << ">" << r.egress_if << " " << r.octets << "B " << r.packets << "p flags "
    << int(r.tcp_flags) << " bi " << r.biflow << " " << r.reverse_octets << "B "
    << r.reverse_packets << "p flags " << int(r.reverse_tcp_flags) << " time " << r.first_ms << "-"
    << r.last_ms << " end " << int(r.end_reason) << " rate " << r.sampling_rate;
  return s.str();
}

kdFlowRecord V4(const char* src, const char* dst) {
  kdFlowRecord r;
  r.ip_version = 4;
  inet_pton(AF_INET, src, r.src_addr);
  inet_pton(AF_INET, dst, r.dst_addr);
  return r;
}

// Flows that use every member our encoders write.
std::vector<kdFlowRecord> Sample() {
  kdFlowRecord tcp = V4("10.0.0.1", "192.0.2.80");
  tcp.src_port = 40000;
  tcp.dst_port = 443;
  tcp.protocol = 6;
  tcp.vlan_id = 42;
  tcp.has_src_mac = tcp.has_dst_mac = true;
  std::memcpy(tcp.src_mac, "\x02\x00\x00\x00\x00\x01", 6);
  std::memcpy(tcp.dst_mac, "\x02\x00\x00\x00\x00\x02", 6);
  tcp.ingress_if = 3;
  tcp.egress_if = 7;
  tcp.octets = 5000;
  tcp.packets = 10;
  tcp.tcp_flags = 0x1B;
  tcp.biflow = true;
  tcp.reverse_octets = 90000;
  tcp.reverse_packets = 70;
  tcp.reverse_tcp_flags = 0x12;
  tcp.first_ms = kNowMs - 60000;
  tcp.last_ms = kNowMs - 10;
  tcp.end_reason = kd_flow_end::kEndOfFlow;

  kdFlowRecord udp6;
  udp6.ip_version = 6;
  inet_pton(AF_INET6, "2001:db8::1", udp6.src_addr);
  inet_pton(AF_INET6, "2001:db8::53", udp6.dst_addr);
  udp6.src_port = 5353;
  udp6.dst_port = 53;
  udp6.protocol = 17;
  udp6.octets = 80;
  udp6.packets = 1;
  udp6.first_ms = udp6.last_ms = kNowMs - 2000;
  udp6.end_reason = kd_flow_end::kIdle;

  kdFlowRecord icmp = V4("10.0.0.2", "10.0.0.3");
  icmp.protocol = 1;
  icmp.octets = 84 * 3;
  icmp.packets = 3;
  icmp.first_ms = kNowMs - 3000;
  icmp.last_ms = kNowMs - 1000;
  icmp.end_reason = kd_flow_end::kForced;
  return {tcp, udp6, icmp};
}

std::vector<kdFlowRecord> Decode(const std::vector<kdDatagram>& datagrams,
                                 kdFlowDecodeCounters* counters = nullptr) {
  Collected c;
  for (const kdDatagram& d : datagrams) c.Feed(d);
  kdFlowDecodeCounters sum = c.Counters();
  EXPECT_EQ(sum.malformed + sum.truncated_records + sum.pending_sets, 0u);
  if (counters != nullptr) *counters = sum;
  return c.records;
}

// What the decoder should give for records that went out in one protocol.
std::vector<kdFlowRecord> Expected(std::vector<kdFlowRecord> in, uint16_t version, uint32_t domain,
                                   bool biflow) {
  std::vector<kdFlowRecord> out;
  for (kdFlowRecord& r : in) {
    r.version = version;
    r.exporter = kExporter;
    r.observation_domain = domain;
    if (version != kd_flow_version::kIpfix) r.end_reason = 0;
    if (version == kd_flow_version::kNetflow5) {
      if (r.ip_version != 4) continue;
      r.vlan_id = 0;
      r.has_src_mac = r.has_dst_mac = false;
      std::memset(r.src_mac, 0, 6);
      std::memset(r.dst_mac, 0, 6);
    }
    if (biflow) {
      r.biflow = true;  // every record of a biflow template says so, even with nothing back
      out.push_back(r);
    } else {
      for (const kdFlowRecord& u : kdSplitBiflow(r)) out.push_back(u);
    }
  }
  return out;
}

void ExpectSame(const std::vector<kdFlowRecord>& expected, const std::vector<kdFlowRecord>& got) {
  ASSERT_EQ(expected.size(), got.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(Describe(expected[i]), Describe(got[i]));
}

struct TemplatedCase {
  kdTemplateFlowEncoder::Dialect dialect;
  uint16_t version;
  bool biflow;
};

class TemplatedRoundTrip : public testing::TestWithParam<TemplatedCase> {};

TEST_P(TemplatedRoundTrip, DecodesWhatItEncodes) {
  kdFlowEncoderOptions options;
  options.observation_domain = 77;
  options.biflow = GetParam().biflow;
  kdTemplateFlowEncoder encoder(GetParam().dialect, options, kBootMs);
  auto records = Sample();
  ExpectSame(Expected(records, GetParam().version, 77, GetParam().biflow),
             Decode(encoder.Encode(records, kNowMs)));
}

// Many records: several datagrams within the size limit, templates only where due, and
// sequence numbers that a collector follows without seeing a gap.
TEST_P(TemplatedRoundTrip, SplitsIntoDatagramsWithUnbrokenSequence) {
  kdFlowEncoderOptions options;
  options.biflow = GetParam().biflow;
  options.template_refresh_messages = 3;
  kdTemplateFlowEncoder encoder(GetParam().dialect, options, kBootMs);
  std::vector<kdFlowRecord> records;
  for (int i = 0; i < 100; ++i) {
    for (kdFlowRecord r : Sample()) {
      r.src_port = static_cast<uint16_t>(i);
      records.push_back(r);
    }
  }
  auto first = encoder.Encode(records, kNowMs);
  auto second = encoder.Encode(records, kNowMs + 1000);
  ASSERT_GT(first.size(), 3u);
  for (const auto& d : first) EXPECT_LE(d.size(), options.max_message_size);

  std::vector<kdDatagram> all = first;
  all.insert(all.end(), second.begin(), second.end());
  kdFlowDecodeCounters counters;
  auto decoded = Decode(all, &counters);
  EXPECT_EQ(decoded.size(), 2 * Expected(records, GetParam().version, 0, GetParam().biflow).size());
  EXPECT_EQ(counters.lost_records + counters.lost_datagrams + counters.out_of_order, 0u);
  EXPECT_EQ(counters.templates, 2 * ((all.size() + 2) / 3));

  // A collector that starts late needs the refreshed templates only.
  std::vector<kdDatagram> late(all.begin() + 3, all.end());
  EXPECT_FALSE(Decode(late).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dialects, TemplatedRoundTrip,
    testing::Values(TemplatedCase{kdTemplateFlowEncoder::Dialect::kIpfix, 10, false},
                    TemplatedCase{kdTemplateFlowEncoder::Dialect::kIpfix, 10, true},
                    TemplatedCase{kdTemplateFlowEncoder::Dialect::kNetflow9, 9, false}),
    [](const auto& test) {
      return std::string(test.param.version == 10 ? "Ipfix" : "Netflow9") +
             (test.param.biflow ? "Biflow" : "");
    });

TEST(Netflow5RoundTrip, DecodesWhatItEncodesAndSkipsIpv6) {
  kdNetflow5Encoder encoder(1, 2, kBootMs);
  auto records = Sample();
  kdFlowDecodeCounters counters;
  auto datagrams = encoder.Encode(records, kNowMs);
  ExpectSame(Expected(records, 5, 1 << 8 | 2, false), Decode(datagrams, &counters));
  EXPECT_EQ(encoder.skipped(), 1u);

  std::vector<kdFlowRecord> many(65, records[2]);
  datagrams = encoder.Encode(many, kNowMs);
  ASSERT_EQ(datagrams.size(), 3u);  // 30 records at most in each
  Decode(datagrams, &counters);
  EXPECT_EQ(counters.records, 65u);
  EXPECT_EQ(counters.lost_records, 0u);
}

}  // namespace
