// AppendString against the formatting it must reproduce: inet_ntop for IP addresses and "%02x"
// pairs for link-layer ones, over every octet value and random addresses.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "korviad/kd_addr.h"

namespace {

std::string Reference(const sockaddr_storage& ss) {
  char text[INET6_ADDRSTRLEN] = "";
  switch (ss.ss_family) {
    case AF_INET:
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, text, sizeof(text));
      return text;
    case AF_INET6:
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, text,
                sizeof(text));
      return text;
    case AF_PACKET: {
      const auto* sll = reinterpret_cast<const sockaddr_ll*>(&ss);
      std::string out;
      for (size_t i = 0; i < sll->sll_halen && i < sizeof(sll->sll_addr); ++i) {
        char pair[4];
        snprintf(pair, sizeof(pair), i == 0 ? "%02x" : ":%02x", sll->sll_addr[i]);
        out += pair;
      }
      return out;
    }
    default:
      return "";
  }
}

// AppendString appends the reference text, GetString gives it too.
void ExpectText(const kdAddr& addr) {
  const std::string expected = Reference(addr.GetSockAddr());
  std::string out = "prefix|";
  addr.AppendString(out);
  EXPECT_EQ(out, "prefix|" + expected);
  EXPECT_EQ(addr.GetString(), expected);
}

TEST(AddrText, EveryIPv4OctetInEveryPosition) {
  for (int position = 0; position < 4; ++position) {
    for (int value = 0; value < 256; ++value) {
      uint8_t bytes[4] = {10, 0, 0, 1};
      bytes[position] = static_cast<uint8_t>(value);
      kdAddr addr;
      addr.SetIPv4(bytes, htons(8080));
      ExpectText(addr);
    }
  }
}

TEST(AddrText, RandomIPv4AndIPv6) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    uint8_t bytes[16];
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    // Runs of zero groups, as inet_ntop compresses them.
    if (i % 3 == 0) {
      const size_t start = random() % 8 * 2;
      memset(bytes + start, 0, std::min<size_t>(random() % 10 * 2, sizeof(bytes) - start));
    }
    if (i % 7 == 0) {  // IPv4-mapped
      memset(bytes, 0, 10);
      bytes[10] = bytes[11] = 0xff;
    }
    kdAddr v4, v6;
    v4.SetIPv4(bytes);
    v6.SetIPv6(bytes);
    ExpectText(v4);
    ExpectText(v6);
  }
}

TEST(AddrText, LinkLayerAddresses) {
  for (int value = 0; value < 256; ++value) {
    const uint8_t mac[6] = {static_cast<uint8_t>(value),      0x0f, 0xf0, 0xaa, 0x5e,
                            static_cast<uint8_t>(255 - value)};
    kdAddr addr;
    addr.SetMac(mac);
    ExpectText(addr);
  }
  // Other hardware lengths, the longest cut at the eight bytes a link address holds.
  for (unsigned char length : {0, 1, 8, 20}) {
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_halen = length;
    for (int i = 0; i < 8; ++i) sll.sll_addr[i] = static_cast<unsigned char>(0x11 * (i + 1));
    kdAddr addr;
    addr.Set(reinterpret_cast<const sockaddr*>(&sll), sizeof(sll));
    ExpectText(addr);
  }
}

TEST(AddrText, UnsetAddressAppendsNothing) {
  std::string out = "x";
  kdAddr().AppendString(out);
  EXPECT_EQ(out, "x");
}

}  // namespace
