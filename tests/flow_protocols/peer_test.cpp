// Our decoders on datagrams a real exporter sent, and a real decoder on ours.
//
// The softflowd-*.pcap files under tests/data are softflowd's export of dhcp-rfc4388.pcap
// (tests/data/README.md), so their totals must be that capture's IP packets and the bytes
// softflowd counts for them: the frame less its Ethernet header, padding of short frames
// included (195 bytes over the IP lengths in this capture).
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "command_output.h"
#include "flow_messages.h"
#include "kd_flow_encoder.h"
#include "kd_packet_decoder.h"

namespace {

using flow_testing::Bytes;

// Calls fn(decoded packet, wire length) for each IP packet of a capture file.
template <typename Fn>
void ReadCapture(const std::string& path, Fn&& fn) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* pcap = pcap_open_offline(path.c_str(), error);
  ASSERT_NE(pcap, nullptr) << error;
  pcap_pkthdr* header;
  const u_char* data;
  while (pcap_next_ex(pcap, &header, &data) == 1) {
    kdDecodedPacket p;
    if (kdDecodePacket(pcap_datalink(pcap), data, header->caplen, header->len, p) ==
        kdDecodeResult::kIp) {
      fn(p, header->len);
    }
  }
  pcap_close(pcap);
}

struct Totals {
  uint64_t packets = 0;
  uint64_t octets = 0;
};

Totals CaptureTotals() {
  Totals t;
  ReadCapture(std::string(KORVIA_TEST_DATA) + "/dhcp-rfc4388.pcap",
              [&](const kdDecodedPacket&, uint32_t length) {
                ++t.packets;
                t.octets += length - 14;
              });
  return t;
}

// Feeds the UDP payloads of a recorded export to a collector.
void FeedRecorded(const std::string& file, flow_testing::Collected& c) {
  ReadCapture(std::string(KORVIA_TEST_DATA) + "/" + file, [&](const kdDecodedPacket& p, uint32_t) {
    c.Feed(Bytes(p.payload, p.payload + p.captured_payload));
  });
}

class SoftflowdExport : public testing::TestWithParam<const char*> {};

TEST_P(SoftflowdExport, TotalsEqualTheCapturesIpTotals) {
  flow_testing::Collected c;
  FeedRecorded(GetParam(), c);
  Totals got;
  for (const kdFlowRecord& r : c.records) {
    got.packets += r.packets + r.reverse_packets;
    got.octets += r.octets + r.reverse_octets;
    EXPECT_EQ(r.ip_version, 4);
    EXPECT_EQ(r.sampling_rate, 1u);
    // The capture ran from 2019-03-21 09:30:44 to 10:03:17 UTC; softflowd dates flows by it.
    EXPECT_GE(r.first_ms, 1553160644000u);
    EXPECT_LE(r.last_ms, 1553162598000u);
    EXPECT_LE(r.first_ms, r.last_ms);
  }
  Totals want = CaptureTotals();
  EXPECT_EQ(got.packets, want.packets);
  EXPECT_EQ(got.octets, want.octets);
  auto counters = c.Counters();
  EXPECT_EQ(counters.malformed + counters.truncated_records + counters.pending_sets +
                counters.bad_templates + counters.unknown_version,
            0u);
  EXPECT_FALSE(c.records.empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, SoftflowdExport,
                         testing::Values("softflowd-v5.pcap", "softflowd-v9.pcap",
                                         "softflowd-ipfix.pcap", "softflowd-ipfix-biflow.pcap"),
                         [](const auto& test) {
                           std::string name = test.param;
                           std::string out;
                           for (char ch : name.substr(10, name.size() - 15)) {
                             if (std::isalnum(static_cast<unsigned char>(ch))) out += ch;
                           }
                           return out;
                         });

TEST(SoftflowdExport, BiflowRecordsCarryTheReverseDirection) {
  flow_testing::Collected c;
  FeedRecorded("softflowd-ipfix-biflow.pcap", c);
  size_t with_reverse = 0;
  for (const kdFlowRecord& r : c.records) with_reverse += r.biflow && r.reverse_packets > 0;
  EXPECT_GT(with_reverse, 0u);
}

// Writes datagrams as IPv4/UDP packets from 127.0.0.1 to 127.0.0.1:port in a raw-IP capture.
void WriteCapture(const std::string& path, const std::vector<kdDatagram>& datagrams,
                  uint16_t port) {
  pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
  uint32_t second = 1700000000;
  for (const kdDatagram& d : datagrams) {
    Bytes udp = flow_testing::Cat({flow_testing::Be(40000, 2), flow_testing::Be(port, 2),
                                   flow_testing::Be(8 + d.size(), 2), flow_testing::Be(0, 2), d});
    Bytes ip = flow_testing::Cat({Bytes{0x45, 0}, flow_testing::Be(20 + udp.size(), 2),
                                  Bytes{0, 0, 0x40, 0, 64, 17, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1}});
    uint32_t sum = 0;  // header checksum, so that the checkers have nothing to flag
    for (size_t i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    Bytes packet = flow_testing::Cat({ip, udp});
    pcap_pkthdr h{};
    h.ts.tv_sec = second++;
    h.caplen = h.len = static_cast<bpf_u_int32>(packet.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, packet.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
}

using testing_support::CommandOutput;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct TsharkCase {
  const char* name;
  uint16_t port;
  std::function<std::vector<kdDatagram>(const std::vector<kdFlowRecord>&)> encode;
};

class TsharkDecodesOurs : public testing::TestWithParam<TsharkCase> {};

TEST_P(TsharkDecodesOurs, WithoutMalformedMarks) {
  if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  // Real flows: those the tracker would build from a capture, here softflowd's view of one.
  flow_testing::Collected c;
  FeedRecorded("softflowd-ipfix-biflow.pcap", c);
  std::vector<kdFlowRecord> records = c.records;
  kdFlowRecord v6 = records.at(0);
  v6.ip_version = 6;
  inet_pton(AF_INET6, "2001:db8::7", v6.src_addr);
  inet_pton(AF_INET6, "2001:db8::8", v6.dst_addr);
  records.push_back(v6);
  auto datagrams = GetParam().encode(records);
  ASSERT_FALSE(datagrams.empty());

  char path[] = "/tmp/flowproto-tshark-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  WriteCapture(path, datagrams, GetParam().port);
  std::string port = std::to_string(GetParam().port);
  std::string text =
      CommandOutput("tshark -r " + std::string(path) + " -d udp.port==" + port + ",cflow -V 2>&1");
  unlink(path);
  EXPECT_EQ(Count(text, "Cisco NetFlow/IPFIX"), datagrams.size()) << text.substr(0, 4000);
  EXPECT_EQ(Count(text, "Malformed"), 0u) << text;
  EXPECT_EQ(Count(text, "Expert Info (Error"), 0u) << text;
  EXPECT_EQ(Count(text, "Expert Info (Warning"), 0u) << text;
  EXPECT_NE(text.find("2001:db8::7"), std::string::npos);
}

constexpr uint64_t kNow = 1553162600000;

INSTANTIATE_TEST_SUITE_P(
    Encoders, TsharkDecodesOurs,
    testing::Values(TsharkCase{"Ipfix", 4739,
                               [](const std::vector<kdFlowRecord>& r) {
                                 return kdTemplateFlowEncoder(
                                            kdTemplateFlowEncoder::Dialect::kIpfix, {},
                                            kNow - 3600000)
                                     .Encode(r, kNow);
                               }},
                    TsharkCase{"IpfixBiflow", 4739,
                               [](const std::vector<kdFlowRecord>& r) {
                                 kdFlowEncoderOptions o;
                                 o.biflow = true;
                                 return kdTemplateFlowEncoder(
                                            kdTemplateFlowEncoder::Dialect::kIpfix, o,
                                            kNow - 3600000)
                                     .Encode(r, kNow);
                               }},
                    TsharkCase{"Netflow9", 2055,
                               [](const std::vector<kdFlowRecord>& r) {
                                 return kdTemplateFlowEncoder(
                                            kdTemplateFlowEncoder::Dialect::kNetflow9, {},
                                            kNow - 3600000)
                                     .Encode(r, kNow);
                               }}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
