#include "kd_packet_decoder.h"

#include <cstring>

namespace {

// Ethertypes.
constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;
constexpr uint16_t kEtherQinQ = 0x88A8;
constexpr uint16_t kEtherQinQOld = 0x9100;
constexpr uint16_t kEtherMplsUnicast = 0x8847;
constexpr uint16_t kEtherMplsMulticast = 0x8848;
constexpr uint16_t kEtherPppoeSession = 0x8864;
constexpr uint16_t kEtherMacsec = 0x88E5;
constexpr uint16_t kEtherMaxLength = 1500;  // values up to this are 802.3 lengths

// PPP protocol numbers.
constexpr uint16_t kPppIpv4 = 0x0021;
constexpr uint16_t kPppIpv6 = 0x0057;
constexpr uint16_t kPppMplsUnicast = 0x0281;
constexpr uint16_t kPppMplsMulticast = 0x0283;

// Address families of the Solaris ipnet header.
constexpr uint8_t kIpnetInet = 2;
constexpr uint8_t kIpnetInet6 = 26;

// IPv6 extension headers.
constexpr uint8_t kIpv6HopByHop = 0;
constexpr uint8_t kIpv6Routing = 43;
constexpr uint8_t kIpv6Fragment = 44;
constexpr uint8_t kIpv6Auth = 51;
constexpr uint8_t kIpv6DestOptions = 60;
constexpr uint8_t kIpv6Mobility = 135;
constexpr uint8_t kIpv6Hip = 139;
constexpr uint8_t kIpv6Shim6 = 140;

// Linux ARPHRD_NETLINK: cooked captures of netlink sockets carry no IP.
constexpr uint16_t kArphrdNetlink = 824;

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t Le32(const uint8_t* p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// One packet being decoded: the captured bytes, the wire length and the result so far. Every
// read goes through Has(), which compares against the captured length without overflowing.
class Decoder {
 public:
  Decoder(const uint8_t* data, uint32_t caplen, uint32_t wirelen, kdDecodedPacket& out)
      : data_(data), caplen_(data == nullptr ? 0 : caplen), wirelen_(wirelen), out_(out) {}

  kdDecodeResult Run(int link_type) {
    switch (link_type) {
      case kd_link::kEthernet:
        return Ethernet();
      case kd_link::kLinuxSll:
        return LinuxSll();
      case kd_link::kLinuxSll2:
        return LinuxSll2();
      case kd_link::kRaw:
      case kd_link::kRawOpenBsd:
      case kd_link::kRawLinktype:
        return Ip(0, 0);
      case kd_link::kIpv4:
        return Ip(0, 4);
      case kd_link::kIpv6:
        return Ip(0, 6);
      case kd_link::kNull:
        return Loopback(false);
      case kd_link::kLoop:
        return Loopback(true);
      case kd_link::kPpp:
      case kd_link::kPppSerial:
        return Ppp();
      case kd_link::kCiscoHdlc:
        return CiscoHdlc(0);
      case kd_link::kFrameRelay:
        return FrameRelay();
      case kd_link::kIeee80211:
        return Ieee80211();
      case kd_link::kRadiotap:
        return Radiotap();
      case kd_link::kIpnet:
        return Ipnet();
      case kd_link::kIpoib:
        return Ipoib();
      case kd_link::kPktap:
        return Pktap();
      default:
        return kdDecodeResult::kUnsupported;
    }
  }

 private:
  // True when n bytes from offset were captured.
  bool Has(uint32_t offset, uint32_t n) const { return offset <= caplen_ && caplen_ - offset >= n; }

  kdDecodeResult Ethernet() {
    out_.ethernet = true;
    if (!Has(0, 14)) return kdDecodeResult::kTruncated;
    memcpy(out_.dst_mac, data_, 6);
    memcpy(out_.src_mac, data_ + 6, 6);
    out_.has_dst_mac = out_.has_src_mac = true;
    uint16_t type = Be16(data_ + 12);
    uint32_t offset = 14;
    if (type <= kEtherMaxLength) {
      // 802.3 with an LLC header: only SNAP with a zero OUI carries an ethertype.
      if (!Has(offset, 3)) return kdDecodeResult::kTruncated;
      const uint8_t* llc = data_ + offset;
      if (llc[0] != 0xAA || llc[1] != 0xAA || llc[2] != 0x03) return kdDecodeResult::kNotIp;
      if (!Has(offset, 8)) return kdDecodeResult::kTruncated;
      if (llc[3] != 0 || llc[4] != 0 || llc[5] != 0) return kdDecodeResult::kNotIp;
      type = Be16(llc + 6);
      offset += 8;
    }
    return Ethertype(type, offset);
  }

  kdDecodeResult LinuxSll() {
    if (!Has(0, 16)) return kdDecodeResult::kTruncated;
    uint16_t hatype = Be16(data_ + 2);
    uint16_t halen = Be16(data_ + 4);
    if (halen == 6) {
      memcpy(out_.src_mac, data_ + 6, 6);
      out_.has_src_mac = true;
    }
    if (hatype == kArphrdNetlink) return kdDecodeResult::kNotIp;
    return Ethertype(Be16(data_ + 14), 16);
  }

  kdDecodeResult LinuxSll2() {
    if (!Has(0, 20)) return kdDecodeResult::kTruncated;
    uint16_t hatype = Be16(data_ + 8);
    if (data_[11] == 6) {
      memcpy(out_.src_mac, data_ + 12, 6);
      out_.has_src_mac = true;
    }
    if (hatype == kArphrdNetlink) return kdDecodeResult::kNotIp;
    return Ethertype(Be16(data_), 20);
  }

  // The address family is in the capturing host's byte order (kNull) or in network byte order
  // (kLoop); values that only make sense swapped are taken swapped.
  kdDecodeResult Loopback(bool network_order) {
    if (!Has(0, 4)) return kdDecodeResult::kTruncated;
    uint32_t family = network_order ? Be32(data_) : Le32(data_);
    if (family > 0xFFFF) family = network_order ? Le32(data_) : Be32(data_);
    switch (family) {
      case 2:
        return Ip(4, 4);  // AF_INET everywhere
      case 10:            // AF_INET6 on Linux
      case 24:            // NetBSD, OpenBSD
      case 28:            // FreeBSD
      case 30:            // Darwin
        return Ip(4, 6);
      default:
        return kdDecodeResult::kNotIp;
    }
  }

  kdDecodeResult Ppp() {
    if (!Has(0, 2)) return kdDecodeResult::kTruncated;
    if (data_[0] == 0x0F || data_[0] == 0x8F) return CiscoHdlc(0);  // HDLC on a PPP link
    uint32_t offset = 0;
    if (data_[0] == 0xFF && data_[1] == 0x03) offset = 2;
    if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
    uint16_t protocol = 0;
    if (data_[offset] & 1) {  // compressed one-byte protocol field
      protocol = data_[offset];
      offset += 1;
    } else {
      if (!Has(offset, 2)) return kdDecodeResult::kTruncated;
      protocol = Be16(data_ + offset);
      offset += 2;
    }
    if (protocol == kPppIpv4) return Ip(offset, 4);
    if (protocol == kPppIpv6) return Ip(offset, 6);
    if (protocol == kPppMplsUnicast || protocol == kPppMplsMulticast) return Mpls(offset);
    return kdDecodeResult::kNotIp;
  }

  kdDecodeResult CiscoHdlc(uint32_t offset) {
    if (!Has(offset, 4)) return kdDecodeResult::kTruncated;
    return Ethertype(Be16(data_ + offset + 2), offset + 4);
  }

  // A Q.922 address (its last byte has the low bit set), then either RFC 2427 encapsulation
  // (control 0x03, an optional pad, an NLPID) or, as Cisco routers send it, an ethertype.
  kdDecodeResult FrameRelay() {
    uint32_t offset = 0;
    for (;;) {
      if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
      if (data_[offset++] & 0x01) break;
      if (offset == 4) return kdDecodeResult::kMalformed;
    }
    if (offset < 2) return kdDecodeResult::kMalformed;
    if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
    if (data_[offset] != 0x03) {
      if (!Has(offset, 2)) return kdDecodeResult::kTruncated;
      return Ethertype(Be16(data_ + offset), offset + 2);
    }
    ++offset;
    if (Has(offset, 1) && data_[offset] == 0x00) ++offset;  // pad
    if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
    uint8_t nlpid = data_[offset++];
    if (nlpid == 0xCC) return Ip(offset, 4);
    if (nlpid == 0x8E) return Ip(offset, 6);
    if (nlpid != 0x80) return kdDecodeResult::kNotIp;
    if (!Has(offset, 5)) return kdDecodeResult::kTruncated;
    if (data_[offset] != 0 || data_[offset + 1] != 0 || data_[offset + 2] != 0) {
      return kdDecodeResult::kNotIp;
    }
    return Ethertype(Be16(data_ + offset + 3), offset + 5);
  }

  // 802.11 data frames carrying LLC/SNAP; encrypted frames, frames without data and
  // aggregated frames carry nothing the tracker can read.
  kdDecodeResult Ieee80211() {
    if (!Has(0, 24)) return kdDecodeResult::kTruncated;
    uint8_t control = data_[0], flags = data_[1];
    uint8_t type = (control >> 2) & 0x03, subtype = control >> 4;
    if (type != 2 || (subtype & 0x04) != 0) return kdDecodeResult::kNotIp;
    bool to_ds = (flags & 0x01) != 0, from_ds = (flags & 0x02) != 0;
    uint32_t header = to_ds && from_ds ? 30 : 24;
    bool qos = (subtype & 0x08) != 0;
    if (qos) header += (flags & 0x80) ? 6 : 2;  // QoS control, and an HT control field
    if (!Has(0, header)) return kdDecodeResult::kTruncated;
    const uint8_t* destination = to_ds ? data_ + 16 : data_ + 4;
    const uint8_t* source = from_ds ? (to_ds ? data_ + 24 : data_ + 16) : data_ + 10;
    memcpy(out_.dst_mac, destination, 6);
    memcpy(out_.src_mac, source, 6);
    out_.has_dst_mac = out_.has_src_mac = true;
    if ((flags & 0x40) != 0) return kdDecodeResult::kNotIp;  // protected
    if (qos && (data_[to_ds && from_ds ? 30 : 24] & 0x80) != 0) return kdDecodeResult::kNotIp;
    if (!Has(header, 8)) return kdDecodeResult::kTruncated;
    const uint8_t* llc = data_ + header;
    bool snap = llc[0] == 0xAA && llc[1] == 0xAA && llc[2] == 0x03 && llc[3] == 0 && llc[4] == 0 &&
                (llc[5] == 0 || llc[5] == 0xF8);
    if (!snap) return kdDecodeResult::kNotIp;
    return Ethertype(Be16(llc + 6), header + 8);
  }

  kdDecodeResult Radiotap() {
    if (!Has(0, 4)) return kdDecodeResult::kTruncated;
    uint32_t length = data_[2] | (uint32_t{data_[3]} << 8);
    if (data_[0] != 0 || length < 8) return kdDecodeResult::kMalformed;
    if (!Has(0, length)) return kdDecodeResult::kTruncated;
    return Inner(length).Ieee80211();
  }

  kdDecodeResult Ipnet() {
    if (!Has(0, 24)) return kdDecodeResult::kTruncated;
    if (data_[1] == kIpnetInet) return Ip(24, 4);
    if (data_[1] == kIpnetInet6) return Ip(24, 6);
    return kdDecodeResult::kNotIp;
  }

  kdDecodeResult Ipoib() {
    if (!Has(0, 44)) return kdDecodeResult::kTruncated;
    return Ethertype(Be16(data_ + 40), 44);
  }

  // The header's length and the inner link type, both little-endian, lead to the packet.
  kdDecodeResult Pktap() {
    if (!Has(0, 8)) return kdDecodeResult::kTruncated;
    uint32_t length = Le32(data_);
    uint32_t link_type = Le32(data_ + 4);
    if (length < 8 || link_type == static_cast<uint32_t>(kd_link::kPktap)) {
      return kdDecodeResult::kMalformed;
    }
    if (!Has(0, length)) return kdDecodeResult::kTruncated;
    if (link_type > 0xFFFF) return kdDecodeResult::kUnsupported;
    return Inner(length).Run(static_cast<int>(link_type));
  }

  // A decoder of what follows the first offset bytes (which were captured).
  Decoder Inner(uint32_t offset) const {
    return Decoder(data_ + offset, caplen_ - offset, WireFrom(offset), out_);
  }

  // Follows an ethertype through VLAN tags, MPLS labels and PPPoE down to IP. Each step consumes
  // captured bytes, so the walk ends.
  kdDecodeResult Ethertype(uint16_t type, uint32_t offset) {
    for (;;) {
      switch (type) {
        case kEtherVlan:
        case kEtherQinQ:
        case kEtherQinQOld:
          if (!Has(offset, 4)) return kdDecodeResult::kTruncated;
          if (out_.vlan_tags == 0) out_.vlan_id = Be16(data_ + offset) & 0x0FFF;
          if (out_.vlan_tags < 255) ++out_.vlan_tags;
          type = Be16(data_ + offset + 2);
          offset += 4;
          break;
        case kEtherMplsUnicast:
        case kEtherMplsMulticast:
          return Mpls(offset);
        case kEtherMacsec: {
          // Only frames sent in the clear (neither the E nor the C bit set) can be read.
          if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
          uint8_t tci = data_[offset];
          if ((tci & 0x0C) != 0) return kdDecodeResult::kNotIp;
          uint32_t tag = (tci & 0x20) ? 14 : 6;  // with or without the secure channel id
          if (!Has(offset, tag + 2)) return kdDecodeResult::kTruncated;
          type = Be16(data_ + offset + tag);
          offset += tag + 2;
          break;
        }
        case kEtherPppoeSession: {
          out_.pppoe = true;
          if (!Has(offset, 8)) return kdDecodeResult::kTruncated;
          if (data_[offset] != 0x11 || data_[offset + 1] != 0) return kdDecodeResult::kMalformed;
          uint16_t protocol = Be16(data_ + offset + 6);
          offset += 8;
          if (protocol == kPppIpv4) return Ip(offset, 4);
          if (protocol == kPppIpv6) return Ip(offset, 6);
          return kdDecodeResult::kNotIp;
        }
        case kEtherIpv4:
          return Ip(offset, 4);
        case kEtherIpv6:
          return Ip(offset, 6);
        default:
          return kdDecodeResult::kNotIp;
      }
    }
  }

  // A label stack, then IP told apart by its version nibble; anything else (pseudowires) is not
  // decoded.
  kdDecodeResult Mpls(uint32_t offset) {
    out_.mpls = true;
    for (;;) {
      if (!Has(offset, 4)) return kdDecodeResult::kTruncated;
      bool bottom = (data_[offset + 2] & 0x01) != 0;
      offset += 4;
      if (bottom) break;
    }
    if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
    uint8_t version = data_[offset] >> 4;
    if (version == 4 || version == 6) return Ip(offset, version);
    return kdDecodeResult::kNotIp;
  }

  // IP at offset; version 0 takes it from the header.
  kdDecodeResult Ip(uint32_t offset, uint8_t version) {
    if (!Has(offset, 1)) return kdDecodeResult::kTruncated;
    uint8_t found = data_[offset] >> 4;
    if (version == 0) version = found;
    if (found != version) return kdDecodeResult::kMalformed;
    if (version == 4) return Ipv4(offset);
    if (version == 6) return Ipv6(offset);
    return kdDecodeResult::kMalformed;
  }

  // Bytes of the packet from offset on, on the wire.
  uint32_t WireFrom(uint32_t offset) const { return wirelen_ > offset ? wirelen_ - offset : 0; }

  // The IP packet's length: declared is its header's length (0 when it declares none, as
  // segmentation offload captures do), bounded by what the wire carried.
  uint32_t IpLength(uint32_t offset, uint32_t declared) const {
    uint32_t wire = WireFrom(offset);
    uint32_t captured = caplen_ - offset;
    if (declared == 0) return wire > captured ? wire : captured;
    if (wire != 0 && wire < declared) return wire;
    return declared;
  }

  kdDecodeResult Ipv4(uint32_t offset) {
    if (!Has(offset, 20)) return kdDecodeResult::kTruncated;
    const uint8_t* ip = data_ + offset;
    uint32_t header = (ip[0] & 0x0F) * 4u;
    uint32_t total = Be16(ip + 2);
    if (header < 20) return kdDecodeResult::kMalformed;
    if (total != 0 && total < header) return kdDecodeResult::kMalformed;
    out_.ip_version = 4;
    memcpy(out_.src_addr, ip + 12, 4);
    memcpy(out_.dst_addr, ip + 16, 4);
    out_.protocol = ip[9];
    uint32_t length = IpLength(offset, total);
    out_.ip_wire_length = length;
    uint16_t fragment = Be16(ip + 6);
    bool more = (fragment & 0x2000) != 0;
    uint16_t fragment_offset = fragment & 0x1FFF;
    out_.fragment = more || fragment_offset != 0;
    out_.later_fragment = fragment_offset != 0;
    if (out_.later_fragment || length < header) return kdDecodeResult::kIp;
    Transport(offset + header, length - header);
    return kdDecodeResult::kIp;
  }

  kdDecodeResult Ipv6(uint32_t offset) {
    if (!Has(offset, 40)) return kdDecodeResult::kTruncated;
    const uint8_t* ip = data_ + offset;
    uint32_t payload = Be16(ip + 4);
    out_.ip_version = 6;
    memcpy(out_.src_addr, ip + 8, 16);
    memcpy(out_.dst_addr, ip + 24, 16);
    uint32_t length = IpLength(offset, payload == 0 ? 0 : payload + 40);
    out_.ip_wire_length = length;
    uint8_t next = ip[6];
    uint32_t position = 40;  // from the start of the IPv6 header
    // Each extension header moves position forward by at least 8 bytes, so the walk ends.
    for (;;) {
      out_.protocol = next;
      uint32_t header_length = 0;
      switch (next) {
        case kIpv6HopByHop:
        case kIpv6Routing:
        case kIpv6DestOptions:
        case kIpv6Mobility:
        case kIpv6Hip:
        case kIpv6Shim6:
          if (position > length || !Has(offset + position, 8)) return kdDecodeResult::kIp;
          header_length = (ip[position + 1] + 1u) * 8u;
          break;
        case kIpv6Auth:
          if (position > length || !Has(offset + position, 8)) return kdDecodeResult::kIp;
          header_length = (ip[position + 1] + 2u) * 4u;
          break;
        case kIpv6Fragment: {
          if (position > length || !Has(offset + position, 8)) return kdDecodeResult::kIp;
          out_.fragment = true;
          uint16_t fragment_offset = Be16(ip + position + 2) & 0xFFF8;
          if (fragment_offset != 0) {
            out_.later_fragment = true;
            out_.protocol = ip[position];
            return kdDecodeResult::kIp;
          }
          header_length = 8;
          break;
        }
        default:
          if (position <= length) Transport(offset + position, length - position);
          return kdDecodeResult::kIp;
      }
      next = ip[position];
      position += header_length;
    }
  }

  // The transport header at offset; length is its wire length with its payload.
  void Transport(uint32_t offset, uint32_t length) {
    if (out_.protocol != kd_ip::kTcp && out_.protocol != kd_ip::kUdp) return;
    if (!Has(offset, 4)) return;
    uint32_t captured = caplen_ - offset;
    if (captured > length) captured = length;  // what follows the IP packet is padding
    const uint8_t* t = data_ + offset;
    out_.has_ports = true;
    out_.src_port = Be16(t);
    out_.dst_port = Be16(t + 2);
    uint32_t header = 8;
    if (out_.protocol == kd_ip::kTcp) {
      if (captured >= 14) {
        out_.has_tcp_flags = true;
        out_.tcp_flags = t[13];
      }
      if (captured < 13) return;
      header = (t[12] >> 4) * 4u;
      if (header < 20) return;  // a bad data offset: no payload can be located
    }
    if (length <= header) return;
    out_.payload_length = length - header;
    if (captured > header) {
      out_.payload = t + header;
      out_.captured_payload = captured - header;
    }
  }

  const uint8_t* data_;
  uint32_t caplen_;
  uint32_t wirelen_;
  kdDecodedPacket& out_;
};

}  // namespace

bool kd_link::IsSupported(int link_type) {
  switch (link_type) {
    case kNull:
    case kEthernet:
    case kPpp:
    case kRaw:
    case kRawOpenBsd:
    case kPppSerial:
    case kRawLinktype:
    case kCiscoHdlc:
    case kLoop:
    case kLinuxSll:
    case kIpv4:
    case kIpv6:
    case kLinuxSll2:
    case kIeee80211:
    case kFrameRelay:
    case kRadiotap:
    case kIpnet:
    case kIpoib:
    case kPktap:
      return true;
    default:
      return false;
  }
}

kdDecodeResult kdDecodePacket(int link_type, const uint8_t* data, uint32_t caplen, uint32_t wirelen,
                              kdDecodedPacket& out) {
  out = kdDecodedPacket();
  return Decoder(data, caplen, wirelen, out).Run(link_type);
}
