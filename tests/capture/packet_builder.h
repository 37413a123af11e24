// Hand-built packets for the decoder and tracker tests: each function wraps a payload in one
// more header, so a test reads inside out, e.g. Ethernet(kMacA, kMacB, Ipv4("10.0.0.1", ...)).
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "korviad/korviad.h"

namespace capture_testing {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v >> 16));
  Put16(b, static_cast<uint16_t>(v));
}
inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

inline Bytes Tcp(uint16_t source, uint16_t destination, uint8_t flags, const Bytes& payload = {}) {
  Bytes b;
  Put16(b, source);
  Put16(b, destination);
  Put32(b, 1000);  // sequence
  Put32(b, 0);     // acknowledgement
  b.push_back(5 << 4);
  b.push_back(flags);
  Put16(b, 65535);
  Put16(b, 0);
  Put16(b, 0);
  return Concat(b, payload);
}

inline Bytes Udp(uint16_t source, uint16_t destination, const Bytes& payload = {}) {
  Bytes b;
  Put16(b, source);
  Put16(b, destination);
  Put16(b, static_cast<uint16_t>(8 + payload.size()));
  Put16(b, 0);
  return Concat(b, payload);
}

inline Bytes Icmp(uint8_t type = 8) {
  return Bytes{type, 0, 0, 0, 0, 1, 0, 1};
}

struct Ipv4Options {
  uint16_t fragment = 0;  // flags and offset field as on the wire (0x2000: more fragments)
  Bytes options;          // appended to the 20-byte header, a multiple of 4 bytes
  int total_length = -1;  // -1: computed
};

inline Bytes Ipv4(const std::string& source, const std::string& destination, uint8_t protocol,
                  const Bytes& payload, const Ipv4Options& o = {}) {
  Bytes b;
  size_t header = 20 + o.options.size();
  b.push_back(static_cast<uint8_t>(0x40 | (header / 4)));
  b.push_back(0);
  Put16(b, static_cast<uint16_t>(o.total_length >= 0 ? o.total_length : header + payload.size()));
  Put16(b, 1);
  Put16(b, o.fragment);
  b.push_back(64);
  b.push_back(protocol);
  Put16(b, 0);
  in_addr a;
  inet_pton(AF_INET, source.c_str(), &a);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&a);
  b.insert(b.end(), p, p + 4);
  inet_pton(AF_INET, destination.c_str(), &a);
  b.insert(b.end(), p, p + 4);
  b.insert(b.end(), o.options.begin(), o.options.end());
  return Concat(b, payload);
}

// An IPv6 packet; extension headers go into payload, built with Ipv6Extension.
inline Bytes Ipv6(const std::string& source, const std::string& destination, uint8_t next,
                  const Bytes& payload) {
  Bytes b = {0x60, 0, 0, 0};
  Put16(b, static_cast<uint16_t>(payload.size()));
  b.push_back(next);
  b.push_back(64);
  in6_addr a;
  inet_pton(AF_INET6, source.c_str(), &a);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&a);
  b.insert(b.end(), p, p + 16);
  inet_pton(AF_INET6, destination.c_str(), &a);
  b.insert(b.end(), p, p + 16);
  return Concat(b, payload);
}

// A hop-by-hop, routing or destination options header of 8 * (units + 1) bytes.
inline Bytes Ipv6Extension(uint8_t next, uint8_t units, const Bytes& rest) {
  Bytes b = {next, units};
  b.resize(8u * (units + 1u), 0);
  return Concat(b, rest);
}

inline Bytes Ipv6Fragment(uint8_t next, uint16_t offset_units, bool more, const Bytes& rest) {
  Bytes b = {next, 0};
  Put16(b, static_cast<uint16_t>((offset_units << 3) | (more ? 1 : 0)));
  Put32(b, 0x1234);
  return Concat(b, rest);
}

const uint8_t kMacA[6] = {0x02, 0, 0, 0, 0, 0x0a};
const uint8_t kMacB[6] = {0x02, 0, 0, 0, 0, 0x0b};
const uint8_t kBroadcastMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

struct Tag {
  uint16_t tpid;
  uint16_t vlan;
};

inline Bytes Ethernet(const uint8_t* destination, const uint8_t* source, uint16_t type,
                      const Bytes& payload, const std::vector<Tag>& tags = {}) {
  Bytes b(destination, destination + 6);
  b.insert(b.end(), source, source + 6);
  for (const Tag& tag : tags) {
    Put16(b, tag.tpid);
    Put16(b, tag.vlan);
  }
  Put16(b, type);
  return Concat(b, payload);
}

inline Bytes LinuxSll(uint16_t protocol, const Bytes& payload) {
  Bytes b;
  Put16(b, 0);  // addressed to us
  Put16(b, 1);  // ARPHRD_ETHER
  Put16(b, 6);
  b.insert(b.end(), kMacA, kMacA + 6);
  Put16(b, 0);
  Put16(b, protocol);
  return Concat(b, payload);
}

inline Bytes LinuxSll2(uint16_t protocol, const Bytes& payload) {
  Bytes b;
  Put16(b, protocol);
  Put16(b, 0);
  Put32(b, 3);     // interface index
  Put16(b, 1);     // ARPHRD_ETHER
  b.push_back(4);  // outgoing
  b.push_back(6);
  b.insert(b.end(), kMacB, kMacB + 6);
  Put16(b, 0);
  return Concat(b, payload);
}

// A BSD loopback header: family in little (null) or big (loop) byte order.
inline Bytes Loopback(uint32_t family, bool big_endian, const Bytes& payload) {
  Bytes b;
  if (big_endian) {
    Put32(b, family);
  } else {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(family >> (8 * i)));
  }
  return Concat(b, payload);
}

}  // namespace capture_testing
