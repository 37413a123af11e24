#include "kd_packet_filter.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "packet_builder.h"

namespace {

using namespace capture_testing;

// libpcap's own numbers, as it reports a capture's link type.
constexpr int kLinkEthernet = DLT_EN10MB;
constexpr int kLinkRaw = DLT_RAW;

TEST(PacketFilter, MatchesByLinkTypeAndReplacesItsProgram) {
  Bytes dns = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(5000, 53));
  Bytes web = Ipv4("10.0.0.1", "192.168.1.9", 6, Tcp(5000, 80, 0x02));
  Bytes dns_frame = Ethernet(kMacB, kMacA, 0x0800, dns);
  Bytes web_frame = Ethernet(kMacB, kMacA, 0x0800, web);
  auto matches = [](const kdPacketFilter& filter, const Bytes& packet, uint32_t caplen = 0) {
    uint32_t length = static_cast<uint32_t>(packet.size());
    return filter.Matches(packet.data(), caplen != 0 ? caplen : length, length);
  };

  kdPacketFilter filter;
  EXPECT_TRUE(matches(filter, web_frame));  // nothing compiled: everything passes
  std::string error;
  ASSERT_TRUE(filter.Compile("udp port 53", kLinkEthernet, error)) << error;
  EXPECT_TRUE(matches(filter, dns_frame));
  EXPECT_FALSE(matches(filter, web_frame));
  EXPECT_FALSE(matches(filter, dns_frame, 20));  // cut before the ports: no match, no overread

  // The same expression reads other offsets on a raw IP link.
  ASSERT_TRUE(filter.Compile("not net 192.168.0.0/16", kLinkRaw, error)) << error;
  EXPECT_TRUE(matches(filter, dns));
  EXPECT_FALSE(matches(filter, web));

  // A refused expression leaves the program in place and says why.
  EXPECT_FALSE(filter.Compile("ether host 00:11:22:33:44:55", kLinkRaw, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(filter.Compile("port", kLinkEthernet, error));
  EXPECT_NE(error.find("syntax error"), std::string::npos) << error;
  EXPECT_FALSE(matches(filter, web));
}

}  // namespace
