#include "kd_packet_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "packet_builder.h"

namespace {

using namespace capture_testing;

// Decodes a copy of exactly caplen bytes, so that the address sanitizer sees any read past them.
// The copy lives until the next call, as the payload pointer points into it.
kdDecodeResult Decode(int link, const Bytes& frame, kdDecodedPacket& out, size_t caplen = SIZE_MAX,
                      uint32_t wirelen = 0) {
  static std::unique_ptr<uint8_t[]> copy;
  size_t n = std::min(caplen, frame.size());
  copy.reset(new uint8_t[n == 0 ? 1 : n]);
  memcpy(copy.get(), frame.data(), n);
  return kdDecodePacket(link, copy.get(), static_cast<uint32_t>(n),
                        wirelen != 0 ? wirelen : static_cast<uint32_t>(frame.size()), out);
}

std::string Address(const kdDecodedPacket& p, bool source) {
  char text[INET6_ADDRSTRLEN];
  inet_ntop(p.ip_version == 4 ? AF_INET : AF_INET6, source ? p.src_addr : p.dst_addr, text,
            sizeof(text));
  return text;
}

const Bytes kHttpGet = Text("GET / HTTP/1.1\r\nHost: example.com\r\n\r\n");

TEST(PacketDecoder, EthernetIpv4TcpWithPayload) {
  Bytes frame = Ethernet(kMacB, kMacA, 0x0800,
                         Ipv4("10.0.0.1", "192.0.2.7", 6, Tcp(40000, 80, 0x18, kHttpGet)));
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kEthernet, frame, p), kdDecodeResult::kIp);
  EXPECT_TRUE(p.ethernet);
  EXPECT_TRUE(p.has_src_mac && p.has_dst_mac);
  EXPECT_EQ(0, memcmp(p.src_mac, kMacA, 6));
  EXPECT_EQ(0, memcmp(p.dst_mac, kMacB, 6));
  EXPECT_EQ(p.ip_version, 4);
  EXPECT_EQ(Address(p, true), "10.0.0.1");
  EXPECT_EQ(Address(p, false), "192.0.2.7");
  EXPECT_EQ(p.protocol, 6);
  EXPECT_TRUE(p.has_ports);
  EXPECT_EQ(p.src_port, 40000);
  EXPECT_EQ(p.dst_port, 80);
  EXPECT_TRUE(p.has_tcp_flags);
  EXPECT_EQ(p.tcp_flags, 0x18);
  EXPECT_EQ(p.payload_length, kHttpGet.size());
  ASSERT_EQ(p.captured_payload, kHttpGet.size());
  EXPECT_EQ(0, memcmp(p.payload, kHttpGet.data(), kHttpGet.size()));
  EXPECT_EQ(p.ip_wire_length, frame.size() - 14);
  EXPECT_FALSE(p.fragment);
}

TEST(PacketDecoder, EthernetPaddingIsNotPayload) {
  Bytes frame = Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.0.0.1", "10.0.0.2", 6, Tcp(1, 2, 0x10)));
  frame.resize(60, 0);  // minimum frame size
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kEthernet, frame, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.payload_length, 0u);
  EXPECT_EQ(p.ip_wire_length, 40u);
}

TEST(PacketDecoder, VlanStacksGiveTheOuterId) {
  Bytes ip = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(1000, 53));
  kdDecodedPacket p;
  Bytes qinq = Ethernet(kMacB, kMacA, 0x0800, ip, {{0x88A8, 100}, {0x8100, 0x2000 | 200}});
  ASSERT_EQ(Decode(kd_link::kEthernet, qinq, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.vlan_tags, 2);
  EXPECT_EQ(p.vlan_id, 100);  // priority bits dropped
  EXPECT_EQ(p.dst_port, 53);

  Bytes single = Ethernet(kMacB, kMacA, 0x0800, ip, {{0x8100, 0xE000 | 4094}});
  ASSERT_EQ(Decode(kd_link::kEthernet, single, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.vlan_tags, 1);
  EXPECT_EQ(p.vlan_id, 4094);

  Bytes old_qinq = Ethernet(kMacB, kMacA, 0x0800, ip, {{0x9100, 7}, {0x8100, 8}, {0x8100, 9}});
  ASSERT_EQ(Decode(kd_link::kEthernet, old_qinq, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.vlan_tags, 3);
  EXPECT_EQ(p.vlan_id, 7);
}

TEST(PacketDecoder, NonIpFramesAreNotIp) {
  kdDecodedPacket p;
  Bytes arp = Ethernet(kBroadcastMac, kMacA, 0x0806, Bytes(28, 0));
  EXPECT_EQ(Decode(kd_link::kEthernet, arp, p), kdDecodeResult::kNotIp);
  Bytes tagged_arp = Ethernet(kBroadcastMac, kMacA, 0x0806, Bytes(28, 0), {{0x8100, 5}});
  EXPECT_EQ(Decode(kd_link::kEthernet, tagged_arp, p), kdDecodeResult::kNotIp);
  EXPECT_EQ(p.vlan_tags, 1);  // counted even so
  // 802.3 with plain LLC (spanning tree) and with SNAP carrying IPv4.
  Bytes stp = Ethernet(kBroadcastMac, kMacA, 38, Concat(Bytes{0x42, 0x42, 0x03}, Bytes(35, 0)));
  EXPECT_EQ(Decode(kd_link::kEthernet, stp, p), kdDecodeResult::kNotIp);
  Bytes snap_ip = Ethernet(kMacB, kMacA, 60,
                           Concat(Bytes{0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00},
                                  Ipv4("10.0.0.1", "10.0.0.2", 1, Icmp())));
  EXPECT_EQ(Decode(kd_link::kEthernet, snap_ip, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.protocol, 1);
}

TEST(PacketDecoder, LinuxCookedCaptures) {
  Bytes ip6 = Ipv6("2001:db8::1", "2001:db8::2", 17, Udp(5353, 5353, Bytes(4, 0)));
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kLinuxSll, LinuxSll(0x86DD, ip6), p), kdDecodeResult::kIp);
  EXPECT_EQ(Address(p, true), "2001:db8::1");
  EXPECT_TRUE(p.has_src_mac);
  EXPECT_FALSE(p.has_dst_mac);
  EXPECT_EQ(0, memcmp(p.src_mac, kMacA, 6));
  EXPECT_EQ(p.payload_length, 4u);

  ASSERT_EQ(Decode(kd_link::kLinuxSll2, LinuxSll2(0x86DD, ip6), p), kdDecodeResult::kIp);
  EXPECT_EQ(0, memcmp(p.src_mac, kMacB, 6));
  EXPECT_EQ(p.src_port, 5353);

  // A VLAN tag left in a cooked capture.
  Bytes tagged = Concat(Bytes{0x00, 0x2A, 0x08, 0x00}, Ipv4("10.1.1.1", "10.1.1.2", 1, Icmp()));
  ASSERT_EQ(Decode(kd_link::kLinuxSll, LinuxSll(0x8100, tagged), p), kdDecodeResult::kIp);
  EXPECT_EQ(p.vlan_id, 42);
  EXPECT_EQ(Decode(kd_link::kLinuxSll, LinuxSll(0x0806, Bytes(28, 0)), p), kdDecodeResult::kNotIp);
}

TEST(PacketDecoder, RawAndLoopbackLinks) {
  Bytes ip4 = Ipv4("192.0.2.1", "198.51.100.2", 17, Udp(1, 2));
  Bytes ip6 = Ipv6("::1", "::2", 6, Tcp(3, 4, 0x02));
  kdDecodedPacket p;
  for (int link : {kd_link::kRaw, kd_link::kRawOpenBsd, kd_link::kRawLinktype}) {
    ASSERT_EQ(Decode(link, ip4, p), kdDecodeResult::kIp) << link;
    EXPECT_EQ(p.ip_version, 4);
    ASSERT_EQ(Decode(link, ip6, p), kdDecodeResult::kIp) << link;
    EXPECT_EQ(p.ip_version, 6);
  }
  EXPECT_EQ(Decode(kd_link::kIpv4, ip4, p), kdDecodeResult::kIp);
  EXPECT_EQ(Decode(kd_link::kIpv4, ip6, p), kdDecodeResult::kMalformed);
  EXPECT_EQ(Decode(kd_link::kIpv6, ip6, p), kdDecodeResult::kIp);

  EXPECT_EQ(Decode(kd_link::kNull, Loopback(2, false, ip4), p), kdDecodeResult::kIp);
  EXPECT_EQ(Decode(kd_link::kNull, Loopback(2, true, ip4), p), kdDecodeResult::kIp);
  for (uint32_t family : {10u, 24u, 28u, 30u}) {
    EXPECT_EQ(Decode(kd_link::kNull, Loopback(family, false, ip6), p), kdDecodeResult::kIp);
    EXPECT_EQ(p.dst_port, 4);
  }
  EXPECT_EQ(Decode(kd_link::kLoop, Loopback(24, true, ip6), p), kdDecodeResult::kIp);
  EXPECT_EQ(Decode(kd_link::kNull, Loopback(7, false, ip4), p), kdDecodeResult::kNotIp);
  EXPECT_EQ(Decode(147, ip4, p), kdDecodeResult::kUnsupported);
}

TEST(PacketDecoder, FrameRelayIpnetIpoibAndPktap) {
  Bytes ip4 = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(1, 2));
  Bytes ip6 = Ipv6("fe80::1", "fe80::3", 89, Bytes(4, 0));
  kdDecodedPacket p;
  EXPECT_EQ(Decode(kd_link::kFrameRelay, Concat({0x18, 0x41, 0x03, 0xCC}, ip4), p),
            kdDecodeResult::kIp);
  EXPECT_EQ(Decode(kd_link::kFrameRelay, Concat({0x18, 0x41, 0x03, 0x00, 0x8E}, ip6), p),
            kdDecodeResult::kIp);
  EXPECT_EQ(p.protocol, 89);
  EXPECT_EQ(Decode(kd_link::kFrameRelay, Concat({0x48, 0xE1, 0x86, 0xDD}, ip6), p),
            kdDecodeResult::kIp);  // an ethertype right after the address
  EXPECT_EQ(
      Decode(kd_link::kFrameRelay, Concat({0x18, 0x41, 0x03, 0x80, 0, 0, 0, 0x08, 0}, ip4), p),
      kdDecodeResult::kIp);
  EXPECT_EQ(Decode(kd_link::kFrameRelay, Bytes{0x18, 0x41, 0x03, 0x08, 0, 1, 2}, p),
            kdDecodeResult::kNotIp);  // Q.933 signalling

  Bytes ipnet(24, 0);
  ipnet[0] = 1;
  ipnet[1] = 26;
  EXPECT_EQ(Decode(kd_link::kIpnet, Concat(ipnet, ip6), p), kdDecodeResult::kIp);
  ipnet[1] = 2;
  EXPECT_EQ(Decode(kd_link::kIpnet, Concat(ipnet, ip4), p), kdDecodeResult::kIp);

  Bytes ipoib(44, 0);
  ipoib[40] = 0x08;
  EXPECT_EQ(Decode(kd_link::kIpoib, Concat(ipoib, ip4), p), kdDecodeResult::kIp);

  Bytes pktap = {12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};  // 12-byte header, then Ethernet
  EXPECT_EQ(Decode(kd_link::kPktap, Concat(pktap, Ethernet(kMacB, kMacA, 0x0800, ip4)), p),
            kdDecodeResult::kIp);
  EXPECT_EQ(0, memcmp(p.src_mac, kMacA, 6));
  Bytes nested = {8, 0, 0, 0, 2, 1, 0, 0};  // a PKTAP header naming PKTAP
  EXPECT_EQ(Decode(kd_link::kPktap, Concat(nested, ip4), p), kdDecodeResult::kMalformed);
}

TEST(PacketDecoder, Ieee80211BehindRadiotap) {
  Bytes ip4 = Ipv4("0.0.0.0", "255.255.255.255", 17, Udp(68, 67, Bytes(10, 0)));
  Bytes radiotap = {0, 0, 8, 0, 0, 0, 0, 0};
  // QoS data to the distribution system, with an HT control field.
  Bytes wlan = {0x88, 0x81, 0, 0};
  Bytes bssid(6, 0x11), source(6, 0x22), destination(6, 0xFF);
  wlan = Concat(Concat(Concat(wlan, bssid), source), destination);
  wlan.insert(wlan.end(), {0, 0, 0, 0, 0, 0, 0, 0});  // sequence, QoS, HT control
  Bytes frame = Concat(Concat(radiotap, wlan), Concat({0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0}, ip4));
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kRadiotap, frame, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.dst_port, 67);
  EXPECT_EQ(p.src_mac[0], 0x22);
  EXPECT_EQ(p.dst_mac[0], 0xFF);

  Bytes encrypted = frame;
  encrypted[9] |= 0x40;
  EXPECT_EQ(Decode(kd_link::kRadiotap, encrypted, p), kdDecodeResult::kNotIp);
  Bytes beacon = frame;
  beacon[8] = 0x80;
  EXPECT_EQ(Decode(kd_link::kRadiotap, beacon, p), kdDecodeResult::kNotIp);
  Bytes bad_radiotap = frame;
  bad_radiotap[2] = 0xFF;
  bad_radiotap[3] = 0xFF;
  EXPECT_EQ(Decode(kd_link::kRadiotap, bad_radiotap, p), kdDecodeResult::kTruncated);
}

TEST(PacketDecoder, MplsAndPppoe) {
  Bytes ip4 = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(1, 2));
  kdDecodedPacket p;
  Bytes labels = {0x00, 0x01, 0x00, 0x40, 0x00, 0x02, 0x01, 0x40};  // two labels, bottom set
  ASSERT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x8847, Concat(labels, ip4)), p),
            kdDecodeResult::kIp);
  EXPECT_TRUE(p.mpls);
  EXPECT_EQ(p.dst_port, 2);

  Bytes session = {0x11, 0x00, 0x12, 0x34};
  Put16(session, static_cast<uint16_t>(ip4.size() + 2));
  Put16(session, 0x0021);
  ASSERT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x8864, Concat(session, ip4)), p),
            kdDecodeResult::kIp);
  EXPECT_TRUE(p.pppoe);
  // MPLS on a PPP link, and MACsec sent in the clear.
  EXPECT_EQ(Decode(kd_link::kPpp, Concat(Concat({0xFF, 0x03, 0x02, 0x81}, labels), ip4), p),
            kdDecodeResult::kIp);
  EXPECT_TRUE(p.mpls);
  Bytes sectag = {0x20, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 0, 1, 0x08, 0x00};
  EXPECT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x88E5, Concat(sectag, ip4)), p),
            kdDecodeResult::kIp);
  sectag[0] |= 0x0C;  // encrypted
  EXPECT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x88E5, Concat(sectag, ip4)), p),
            kdDecodeResult::kNotIp);
  Bytes lcp = {0x11, 0x00, 0x12, 0x34, 0x00, 0x04, 0xC0, 0x21, 1, 1, 0, 4};
  EXPECT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x8864, lcp), p),
            kdDecodeResult::kNotIp);
}

TEST(PacketDecoder, Ipv4OptionsAreSkipped) {
  Ipv4Options options;
  options.options = {0x94, 0x04, 0x00, 0x00};  // router alert
  Bytes frame = Ethernet(kMacB, kMacA, 0x0800,
                         Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(4444, 5555, Bytes(3, 7)), options));
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kEthernet, frame, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.src_port, 4444);
  EXPECT_EQ(p.dst_port, 5555);
  EXPECT_EQ(p.payload_length, 3u);
}

TEST(PacketDecoder, Ipv4Fragments) {
  kdDecodedPacket p;
  Ipv4Options first;
  first.fragment = 0x2000;
  Bytes head = Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(1000, 2000, Bytes(16, 1)), first);
  ASSERT_EQ(Decode(kd_link::kRaw, head, p), kdDecodeResult::kIp);
  EXPECT_TRUE(p.fragment);
  EXPECT_FALSE(p.later_fragment);
  EXPECT_TRUE(p.has_ports);
  EXPECT_EQ(p.dst_port, 2000);

  Ipv4Options later;
  later.fragment = 3;  // offset 24 bytes, last fragment
  Bytes tail = Ipv4("10.0.0.1", "10.0.0.2", 17, Bytes{0x07, 0xD0, 0x0F, 0xA0, 1, 2, 3, 4}, later);
  ASSERT_EQ(Decode(kd_link::kRaw, tail, p), kdDecodeResult::kIp);
  EXPECT_TRUE(p.fragment);
  EXPECT_TRUE(p.later_fragment);
  EXPECT_FALSE(p.has_ports);  // those bytes are data, not a header
  EXPECT_EQ(p.protocol, 17);
}

TEST(PacketDecoder, Ipv6ExtensionHeaders) {
  Bytes tcp = Tcp(443, 50000, 0x12);
  Bytes chain = Ipv6Extension(43, 0, Ipv6Extension(60, 1, Ipv6Extension(6, 0, tcp)));
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kRaw, Ipv6("2001:db8::1", "2001:db8::2", 0, chain), p),
            kdDecodeResult::kIp);
  EXPECT_EQ(p.protocol, 6);
  EXPECT_EQ(p.src_port, 443);
  EXPECT_EQ(p.dst_port, 50000);
  EXPECT_EQ(p.tcp_flags, 0x12);

  Bytes first = Ipv6Fragment(17, 0, true, Udp(7, 8, Bytes(8, 0)));
  ASSERT_EQ(Decode(kd_link::kRaw, Ipv6("2001:db8::1", "2001:db8::2", 44, first), p),
            kdDecodeResult::kIp);
  EXPECT_TRUE(p.fragment);
  EXPECT_FALSE(p.later_fragment);
  EXPECT_EQ(p.dst_port, 8);

  Bytes later = Ipv6Extension(44, 0, Ipv6Fragment(17, 2, false, Bytes(8, 9)));
  ASSERT_EQ(Decode(kd_link::kRaw, Ipv6("2001:db8::1", "2001:db8::2", 0, later), p),
            kdDecodeResult::kIp);
  EXPECT_TRUE(p.later_fragment);
  EXPECT_FALSE(p.has_ports);
  EXPECT_EQ(p.protocol, 17);

  Bytes nothing = Ipv6Extension(59, 0, {});
  ASSERT_EQ(Decode(kd_link::kRaw, Ipv6("::1", "::1", 60, nothing), p), kdDecodeResult::kIp);
  EXPECT_EQ(p.protocol, 59);
}

TEST(PacketDecoder, ExtensionHeaderPastThePacketStopsTheWalk) {
  // The hop-by-hop header claims 2 KB in a packet that has 16 bytes after the fixed header.
  Bytes bogus = {6, 255};
  bogus.resize(16, 0);
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kRaw, Ipv6("::1", "::2", 0, bogus), p), kdDecodeResult::kIp);
  EXPECT_FALSE(p.has_ports);
}

TEST(PacketDecoder, MalformedHeaders) {
  kdDecodedPacket p;
  Bytes ip4 = Ipv4("10.0.0.1", "10.0.0.2", 6, Tcp(1, 2, 0x02));
  Bytes short_header = ip4;
  short_header[0] = 0x44;  // IHL 4
  EXPECT_EQ(Decode(kd_link::kRaw, short_header, p), kdDecodeResult::kMalformed);
  Bytes short_total = ip4;
  short_total[2] = 0;
  short_total[3] = 19;
  EXPECT_EQ(Decode(kd_link::kRaw, short_total, p), kdDecodeResult::kMalformed);
  Bytes version = ip4;
  version[0] = 0x55;
  EXPECT_EQ(Decode(kd_link::kRaw, version, p), kdDecodeResult::kMalformed);
  EXPECT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x86DD, ip4), p),
            kdDecodeResult::kMalformed);
  Bytes pppoe = {0x22, 0x00, 0, 0, 0, 0, 0x00, 0x21};
  EXPECT_EQ(Decode(kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x8864, pppoe), p),
            kdDecodeResult::kMalformed);
}

TEST(PacketDecoder, ZeroTotalLengthTakesTheWireLength) {
  // Segmentation offload captures leave the total length 0.
  Ipv4Options tso;
  tso.total_length = 0;
  Bytes ip4 = Ipv4("10.0.0.1", "10.0.0.2", 6, Tcp(1, 2, 0x10, Bytes(100, 'x')), tso);
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kRaw, ip4, p), kdDecodeResult::kIp);
  EXPECT_EQ(p.payload_length, 100u);
}

TEST(PacketDecoder, SnapshotLengthLimitsWhatIsRead) {
  // Captured with a short snapshot length: the header is there, the payload is not.
  Bytes frame = Ethernet(kMacB, kMacA, 0x0800,
                         Ipv4("10.0.0.1", "192.0.2.7", 6, Tcp(40000, 80, 0x18, kHttpGet)));
  kdDecodedPacket p;
  ASSERT_EQ(Decode(kd_link::kEthernet, frame, p, 14 + 20 + 20), kdDecodeResult::kIp);
  EXPECT_EQ(p.payload_length, kHttpGet.size());
  EXPECT_EQ(p.captured_payload, 0u);
  EXPECT_EQ(p.payload, nullptr);
  ASSERT_EQ(Decode(kd_link::kEthernet, frame, p, 14 + 20 + 4), kdDecodeResult::kIp);
  EXPECT_TRUE(p.has_ports);
  EXPECT_FALSE(p.has_tcp_flags);
  ASSERT_EQ(Decode(kd_link::kEthernet, frame, p, 14 + 20 + 3), kdDecodeResult::kIp);
  EXPECT_FALSE(p.has_ports);
}

// Every prefix of every kind of frame decodes without reading past it: results stay truncated
// until the addresses are in, and then IP.
TEST(PacketDecoder, EveryPrefixIsSafe) {
  Bytes http = Tcp(40000, 80, 0x18, kHttpGet);
  Bytes ip4 = Ipv4("10.0.0.1", "192.0.2.7", 6, http);
  Bytes ip6 =
      Ipv6("2001:db8::1", "2001:db8::2", 0, Ipv6Extension(44, 0, Ipv6Fragment(6, 0, true, http)));
  struct Case {
    int link;
    Bytes frame;
    size_t addresses_end;  // bytes needed for a kIp result
  };
  std::vector<Case> cases = {
      {kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x0800, ip4, {{0x88A8, 1}, {0x8100, 2}}), 42},
      {kd_link::kEthernet, Ethernet(kMacB, kMacA, 0x86DD, ip6), 54},
      {kd_link::kLinuxSll, LinuxSll(0x0800, ip4), 36},
      {kd_link::kLinuxSll2, LinuxSll2(0x86DD, ip6), 60},
      {kd_link::kNull, Loopback(2, false, ip4), 24},
      {kd_link::kRaw, ip6, 40},
  };
  for (const Case& c : cases) {
    for (size_t n = 0; n <= c.frame.size(); ++n) {
      kdDecodedPacket p;
      kdDecodeResult result = Decode(c.link, c.frame, p, n, static_cast<uint32_t>(c.frame.size()));
      if (n < c.addresses_end) {
        EXPECT_EQ(result, kdDecodeResult::kTruncated) << "link " << c.link << " caplen " << n;
      } else {
        EXPECT_EQ(result, kdDecodeResult::kIp) << "link " << c.link << " caplen " << n;
        EXPECT_LE(p.captured_payload, n);
      }
    }
  }
  kdDecodedPacket p;
  EXPECT_EQ(kdDecodePacket(kd_link::kEthernet, nullptr, 100, 100, p), kdDecodeResult::kTruncated);
}

}  // namespace
