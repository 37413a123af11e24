// Address texts, ports and NAT64 extraction.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>

#include "korviad/kd_addr.h"
#include "korviad/kd_digest.h"
#include "test_support.h"

namespace {

using testing_support::Addr;

TEST(Addr, TextForms) {
  EXPECT_EQ(Addr("192.0.2.7").GetString(), "192.0.2.7");
  EXPECT_EQ(Addr("2001:DB8:0:0::1").GetString(), "2001:db8::1");
  EXPECT_EQ(Addr("00:1A:2b:3C:4d:5E").GetString(), "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(Addr("00-1a-2b-3c-4d-5e").GetString(), "00:1a:2b:3c:4d:5e");
  EXPECT_EQ(kdAddr().GetString(), "");
  // The port is never part of the text.
  EXPECT_EQ(Addr("192.0.2.7", 443).GetString(), "192.0.2.7");
}

TEST(Addr, RejectsMalformedText) {
  kdAddr addr;
  for (const char* text : {"", "1.2.3", "1.2.3.256", "00:11:22:33:44", "00:11:22:33:44:5g",
                           "00:11-22:33:44:55", "::g", "hello"}) {
    EXPECT_FALSE(addr.Parse(text)) << text;
    EXPECT_FALSE(addr.IsValid()) << text;
  }
}

TEST(Addr, MacIsEthernetLinkAddress) {
  kdAddr mac = Addr("aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(mac.GetFamily(), AF_PACKET);
  EXPECT_TRUE(mac.IsEthernet());
  const auto* sll = reinterpret_cast<const sockaddr_ll*>(&mac.GetSockAddr());
  EXPECT_EQ(sll->sll_hatype, 1);
  EXPECT_EQ(sll->sll_halen, 6);
  EXPECT_FALSE(Addr("10.0.0.1").IsEthernet());
}

TEST(Addr, Ports) {
  kdAddr addr = Addr("10.0.0.1");
  EXPECT_EQ(addr.GetPort(true), 0);
  addr.SetPort(443, true);
  EXPECT_EQ(addr.GetPort(true), 443);
  EXPECT_EQ(addr.GetPort(false), htons(443));
  kdAddr other = Addr("2001:db8::1");
  other.SetPort(addr.GetPort(false));
  EXPECT_EQ(other.GetPort(true), 443);
  kdAddr mac = Addr("aa:bb:cc:dd:ee:ff");
  mac.SetPort(80, true);
  EXPECT_EQ(mac.GetPort(true), 0);
}

TEST(Addr, Nat64Extraction) {
  kdAddr result;
  ASSERT_TRUE(kdAddr::GetNAT64Addr(Addr("64:ff9b::c000:201"), result));
  EXPECT_TRUE(result.IsIPv4());
  EXPECT_EQ(result.GetString(), "192.0.2.1");
  // Only the well-known /96 prefix holds an embedded address.
  kdAddr untouched = Addr("10.9.9.9");
  EXPECT_FALSE(kdAddr::GetNAT64Addr(Addr("64:ff9b:1::c000:201"), untouched));
  EXPECT_EQ(untouched.GetString(), "10.9.9.9");
  EXPECT_FALSE(kdAddr::GetNAT64Addr(Addr("2001:db8::1"), untouched));
  EXPECT_FALSE(kdAddr::GetNAT64Addr(Addr("192.0.2.1"), untouched));
}

TEST(Addr, CopiesKeepTextAndAreIndependent) {
  kdAddr a = Addr("10.0.0.1", 80);
  EXPECT_EQ(a.GetString(), "10.0.0.1");
  kdAddr b = a;
  a.Parse("10.0.0.2");
  EXPECT_EQ(b.GetString(), "10.0.0.1");
  EXPECT_EQ(b.GetPort(), 80);
  EXPECT_EQ(a.GetString(), "10.0.0.2");
}

TEST(Digest, SixteenLowerCaseHexDigits) {
  std::string text = "previous";
  kd_xxh64_to_string(0xABC, text);
  EXPECT_EQ(text, "0000000000000abc");
  kd_xxh64_to_string(0xFFFFFFFFFFFFFFFFull, text);
  EXPECT_EQ(text, "ffffffffffffffff");
}

}  // namespace
