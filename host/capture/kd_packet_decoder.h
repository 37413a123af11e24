// Decoding of one captured packet, from its link-layer header down to the transport ports.
//
// kdDecodePacket is a pure function of its arguments: it reads at most caplen bytes of data,
// allocates nothing and keeps no state, so that a fuzzer can call it directly. Lengths taken
// from headers are never trusted: every read is checked against the captured bytes.
#pragma once

#include <cstdint>

// Link types, by their libpcap DLT values.
namespace kd_link {
constexpr int kNull = 0;           // BSD loopback: 4-byte address family, host byte order
constexpr int kEthernet = 1;       // Ethernet II and 802.3 with SNAP
constexpr int kPpp = 9;            // PPP, with or without the HDLC address and control bytes
constexpr int kRaw = 12;           // raw IP (the value Linux and most systems use)
constexpr int kRawOpenBsd = 14;    // raw IP (the value OpenBSD uses)
constexpr int kPppSerial = 50;     // PPP in HDLC-like framing
constexpr int kRawLinktype = 101;  // raw IP, as the file format's link-type value
constexpr int kCiscoHdlc = 104;    // Cisco HDLC: address, control, ethertype
constexpr int kIeee80211 = 105;    // 802.11 frames without a radio header
constexpr int kFrameRelay = 107;   // Frame Relay: Q.922 address, then RFC 2427 or an ethertype
constexpr int kLoop = 108;         // OpenBSD loopback: address family in network byte order
constexpr int kLinuxSll = 113;     // Linux cooked capture v1
constexpr int kRadiotap = 127;     // 802.11 frames behind a radiotap header
constexpr int kIpnet = 226;        // Solaris ipnet: 24-byte header with the address family
constexpr int kIpv4 = 228;         // raw IPv4 only
constexpr int kIpv6 = 229;         // raw IPv6 only
constexpr int kIpoib = 242;        // IP over InfiniBand: 44-byte header ending in an ethertype
constexpr int kPktap = 258;        // Apple PKTAP: a header naming the link type of what follows
constexpr int kLinuxSll2 = 276;    // Linux cooked capture v2

// True for the link types kdDecodePacket understands.
bool IsSupported(int link_type);
}  // namespace kd_link

// What became of a packet.
enum class kdDecodeResult {
  kIp,           // an IPv4 or IPv6 packet whose addresses were found
  kNotIp,        // a well-formed frame that carries something other than IP (ARP, LLDP, ...)
  kTruncated,    // the capture ends before the IP addresses
  kMalformed,    // a header contradicts itself (IP version, header or total length)
  kUnsupported,  // the link type is not one of kd_link's
};

// IP protocol numbers used by the tracker.
namespace kd_ip {
constexpr uint8_t kIcmp = 1;
constexpr uint8_t kIgmp = 2;
constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint8_t kIcmpV6 = 58;
}  // namespace kd_ip

// TCP flag bits.
namespace kd_tcp {
constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kAck = 0x10;
}  // namespace kd_tcp

struct kdDecodedPacket {
  // Link layer. The counters of the interface statistics come from these too, so they are
  // filled as far as decoding got, whatever the result.
  bool ethernet = false;     // the frame is Ethernet (link type kEthernet)
  uint8_t vlan_tags = 0;     // 802.1Q / 802.1ad tags seen
  uint16_t vlan_id = 0;      // the outermost tag's VLAN id (0 without tags)
  bool mpls = false;         // an MPLS label stack was crossed
  bool pppoe = false;        // a PPPoE session header was crossed
  bool has_src_mac = false;  // link-layer source address known
  bool has_dst_mac = false;  // link-layer destination address known
  uint8_t src_mac[6] = {};
  uint8_t dst_mac[6] = {};

  // Network layer (result kIp). IPv4 addresses fill the first 4 bytes, the rest stays zero.
  uint8_t ip_version = 0;  // 4 or 6
  uint8_t src_addr[16] = {};
  uint8_t dst_addr[16] = {};
  uint8_t protocol = 0;         // the transport protocol, after IPv6 extension headers
  bool fragment = false;        // an IPv4 or IPv6 fragment, first or not
  bool later_fragment = false;  // a fragment other than the first: no transport header in it
  uint32_t ip_wire_length = 0;  // bytes from the IP header on, as the packet had on the wire

  // Transport layer: ports and flags of TCP and UDP when their first bytes were captured.
  bool has_ports = false;
  uint16_t src_port = 0;  // host byte order
  uint16_t dst_port = 0;
  bool has_tcp_flags = false;
  uint8_t tcp_flags = 0;
  // Transport payload: its length on the wire, and the part of it that was captured.
  uint32_t payload_length = 0;
  const uint8_t* payload = nullptr;
  uint32_t captured_payload = 0;
};

// Decodes one packet of the given link type. caplen is the number of bytes in data, wirelen the
// packet's length on the wire (used for lengths only: nothing past caplen is read). out is reset
// first. A packet whose transport header was not captured (a short snapshot length, a later
// fragment) is still kIp, without ports.
kdDecodeResult kdDecodePacket(int link_type, const uint8_t* data, uint32_t caplen, uint32_t wirelen,
                              kdDecodedPacket& out);
