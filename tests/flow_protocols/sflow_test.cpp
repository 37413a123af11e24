// sFlow v5: packet samples handed out whole for our packet decoder, interface counters, and
// what is counted when datagrams are cut short or lose their way.
#include <gtest/gtest.h>

#include "flow_messages.h"
#include "kd_packet_decoder.h"
#include "kd_sflow_decoder.h"
#include "packet_builder.h"

namespace {

using flow_testing::Be;
using flow_testing::Bytes;
using flow_testing::Cat;
using flow_testing::SflowCounterSample;
using flow_testing::SflowDatagram;
using flow_testing::SflowExpandedFlowSample;
using flow_testing::SflowFlowSample;
using flow_testing::SflowRawHeader;
using flow_testing::SflowRecord;

struct Collected {
  kdSflowDecoder decoder{[this](const kdSflowPacketSample& p) {
                           packets.push_back(p);
                           frames.emplace_back(p.header, p.header + p.header_length);
                         },
                         [this](const kdSflowInterfaceCounters& c) { counters.push_back(c); }};
  std::vector<kdSflowPacketSample> packets;
  std::vector<Bytes> frames;
  std::vector<kdSflowInterfaceCounters> counters;
  void Feed(const Bytes& d) { decoder.Decode(flow_testing::kExporter, d.data(), d.size()); }
  kdFlowDecodeCounters Totals() {
    kdFlowDecodeCounters sum;
    for (auto& [who, c] : decoder.TakeCounters()) sum += c;
    return sum;
  }
};

TEST(SflowDecoder, PacketSamplesDecodeWithOurPacketDecoder) {
  using namespace capture_testing;
  Bytes frame =
      Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.1.0.1", "10.1.0.2", 17, Udp(5000, 53, Bytes(20, 7))));
  Collected c;
  c.Feed(
      SflowDatagram(1, {SflowFlowSample(512, SflowRawHeader(frame), 1),
                        SflowExpandedFlowSample(0, SflowRawHeader(frame)), SflowCounterSample()}));
  ASSERT_EQ(c.packets.size(), 2u);
  const kdSflowPacketSample& p = c.packets[0];
  EXPECT_EQ(p.sampling_rate, 512u);
  EXPECT_EQ(p.input_if, 3u);
  EXPECT_EQ(p.output_if, 0u);
  EXPECT_EQ(p.WireLength(), frame.size());
  EXPECT_EQ(p.source.agent.ToString(), "192.0.2.9");
  EXPECT_EQ(c.packets[1].sampling_rate, 1u);
  EXPECT_EQ(c.packets[1].input_if, 70000u);
  EXPECT_EQ(c.packets[1].output_if, 70001u);
  EXPECT_EQ(c.packets[1].source.source_id, 70000u);

  kdDecodedPacket d;
  ASSERT_EQ(kdDecodePacket(kdSflowLinkType(p.header_protocol), c.frames[0].data(),
                           static_cast<uint32_t>(c.frames[0].size()), p.WireLength(), d),
            kdDecodeResult::kIp);
  EXPECT_EQ(d.dst_port, 53);

  ASSERT_EQ(c.counters.size(), 1u);
  EXPECT_EQ(c.counters[0].if_index, 3u);
  EXPECT_EQ(c.counters[0].if_speed, 1000000000u);
  EXPECT_EQ(c.counters[0].in_octets, 123456u);
  EXPECT_EQ(c.counters[0].out_octets, 654321u);
  auto totals = c.Totals();
  EXPECT_EQ(totals.records, 2u);
  EXPECT_EQ(totals.options_records, 1u);
}

TEST(SflowDecoder, BadInputIsCountedAndSkipped) {
  using namespace capture_testing;
  Bytes frame = Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.1.0.1", "10.1.0.2", 6, Tcp(1, 2, 2)));
  Collected c;
  Bytes good = SflowDatagram(1, {SflowFlowSample(1, SflowRawHeader(frame), 1)});
  c.Feed(Bytes(good.begin(), good.begin() + 30));  // cut inside the sample
  Bytes huge_header =
      SflowRecord(1, Cat({Be(1, 4), Be(60, 4), Be(0, 4), Be(100000, 4), Bytes(8, 0)}));
  c.Feed(
      SflowDatagram(2, {SflowFlowSample(1, huge_header, 1), SflowFlowSample(1, Bytes(), 1000000)}));
  c.Feed(SflowDatagram(3, {SflowRecord(77, Bytes(12, 0))}));
  c.Feed(Cat({Be(4, 4), Bytes(24, 0)}));
  c.Feed(SflowDatagram(9, {}));  // five datagrams lost
  c.Feed(good);                  // back to 1: a restart
  EXPECT_EQ(c.packets.size(), 1u);
  auto totals = c.Totals();
  EXPECT_EQ(totals.malformed, 1u);
  EXPECT_EQ(totals.truncated_records, 2u);
  EXPECT_EQ(totals.unsupported, 1u);
  EXPECT_EQ(totals.unknown_version, 1u);
  EXPECT_EQ(totals.lost_datagrams, 5u);
  EXPECT_EQ(totals.out_of_order, 1u);
}

}  // namespace
