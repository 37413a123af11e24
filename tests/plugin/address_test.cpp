// What records read of a host address, through the calls the daemon promises, against this
// host's own out-of-line answers.
#include <gtest/gtest.h>

#include <linux/if_packet.h>

#include <cstring>
#include <string>
#include <vector>

#include "kpp_address.h"

namespace {

kdAddr Link(uint16_t hardware_type, uint8_t length) {
  sockaddr_ll link;
  memset(&link, 0, sizeof(link));
  link.sll_family = AF_PACKET;
  link.sll_hatype = hardware_type;
  link.sll_halen = length;
  for (uint8_t i = 0; i < 8; ++i) link.sll_addr[i] = static_cast<uint8_t>(0xa0 + i);
  kdAddr addr;
  addr.Set(reinterpret_cast<const sockaddr*>(&link), sizeof(link));
  return addr;
}

kdAddr Parsed(const std::string& text) {
  kdAddr addr;
  EXPECT_TRUE(addr.Parse(text)) << text;
  return addr;
}

std::vector<kdAddr> Addresses() {
  return {kdAddr(),
          Parsed("192.0.2.7"),
          Parsed("2001:db8::1"),
          Parsed("0:0::0"),
          Parsed("00:1a:2b:3c:4d:5e"),
          Link(1, 6),
          Link(1, 8),
          Link(772, 6),
          Link(256, 6)};
}

TEST(Address, KindsAgreeWithTheHost) {
  for (const kdAddr& addr : Addresses()) {
    SCOPED_TRACE(addr.GetString());
    EXPECT_EQ(kppIsIPv4(addr), addr.IsIPv4());
    EXPECT_EQ(kppIsIPv6(addr), addr.IsIPv6());
    EXPECT_EQ(kppIsEthernet(addr), addr.IsEthernet());
  }
}

// Texts of differing lengths one after another through the thread's one buffer, appended after
// what the key already holds.
TEST(Address, TextsAreTheHostsAppendedInTurn) {
  std::string key = "k";
  std::string expected = "k";
  for (int round = 0; round < 2; ++round) {
    for (const kdAddr& addr : Addresses()) {
      kppAppendAddressText(key, addr);
      expected += addr.GetString() + "|";
      key += "|";
      EXPECT_EQ(kppAddressText(addr), addr.GetString());
    }
  }
  EXPECT_EQ(key, expected);
}

}  // namespace
