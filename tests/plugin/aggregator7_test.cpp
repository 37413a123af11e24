// Record type 7: the NAT session log per access point.
#include <linux/if_arp.h>
#include <linux/if_packet.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "kpp_address.h"
#include "kpp_aggregator7.h"
#include "plugin_fixture.h"

namespace {

using namespace testing_support;

constexpr uint32_t kApIndex = 5;
constexpr uint32_t kFlowIndex = 6;

// A link-layer address with the given hardware type and length.
kdAddr LinkAddr(uint16_t hatype, uint8_t halen, uint8_t pkttype = 0) {
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_hatype = hatype;
  sll.sll_halen = halen;
  sll.sll_pkttype = pkttype;
  for (uint8_t i = 0; i < 8; ++i) sll.sll_addr[i] = static_cast<uint8_t>(0xa0 + i);
  kdAddr addr;
  addr.Set(reinterpret_cast<const sockaddr*>(&sll), sizeof(sll));
  return addr;
}

// Lookups need the host instance; only one may exist at a time, so each test makes its own.
class Aggregator7 : public ::testing::Test {
 protected:
  Aggregator7() : fixture(ConfWithSink({{"aggregator", 7}})) {
    instance.addr_lookup.SetLinkAddress(kApIndex, Addr("aa:bb:cc:00:00:05"));
    instance.addr_lookup.SetLinkAddress(kFlowIndex, Addr("aa:bb:cc:00:00:06"));
  }

  // A translated flow opened by A on an access point known by its interface index.
  static std::shared_ptr<kdFlow> NatFlow(uint64_t digest = 0x1234) {
    auto flow = MakeFlow();
    flow->iface->capture_type = 2;
    flow->iface->index = kApIndex;
    flow->flow_ifindex = kFlowIndex;
    flow->nat_addr = Addr("203.0.113.9", 40000);
    flow->flow_digest = digest;
    flow->first_seen_ms = 1709294400500;
    flow->last_seen_ms = 1709294405999;
    return flow;
  }

  json Encoded(const std::shared_ptr<kdFlow>& flow) {
    kppAggregator7 record(fixture.settings(), flow);
    json out;
    record.Encode(out, fixture.settings());
    return out;
  }

  void Send(const std::shared_ptr<kdFlow>& flow, uint32_t event = 4) {
    std::shared_ptr<kdFlow> delivered = flow;
    fixture.plugin().DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(event),
                                            delivered);
  }

  kdInstance instance;
  PluginFixture fixture;
};

TEST_F(Aggregator7, EncodesOneRecordPerAccessPoint) {
  Send(NatFlow());
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0], json::parse(R"({"apMac":"AABBCC000005","flows":[{
      "clientMac":"001122334455","family":"ipv4",
      "ipv4":{"dstIp":"192.0.2.7","dstPort":443,"natSrcIp":"203.0.113.9","natSrcPort":40000,
              "srcIp":"10.0.0.1","srcPort":50000},
      "startTime":"2024-03-01T12:00:00Z","state":"NEW","uniqueId":"0000000000001234"}]})"));
}

TEST_F(Aggregator7, CaptureTypeRoutesTheLookup) {
  struct Case {
    uint32_t capture_type;
    const char* ap_mac;
  };
  const Case cases[] = {{2, "AABBCC000005"},    {3, "AABBCC000005"},  {8, "AABBCC000005"},
                        {9, "AABBCC000005"},    {16, "AABBCC000006"}, {17, "AABBCC000006"},
                        {0, "000000000000"},    {1, "000000000000"},  {4, "000000000000"},
                        {10, "000000000000"},   {18, "000000000000"}, {24, "000000000000"},
                        {0x102, "000000000000"}};
  for (const Case& c : cases) {
    auto flow = NatFlow();
    flow->iface->capture_type = c.capture_type;
    kppAggregator7 record(fixture.settings(), flow);
    EXPECT_EQ(record.ap_mac, c.ap_mac) << c.capture_type;
    EXPECT_EQ(record.GetKey(), c.ap_mac) << c.capture_type;
  }
}

TEST_F(Aggregator7, NoIndexMeansNoLookup) {
  // An entry under the "none" index must not be consulted.
  instance.addr_lookup.SetLinkAddress(kdInterface::kNoIndex, Addr("aa:bb:cc:ff:ff:ff"));
  auto by_iface = NatFlow();
  by_iface->iface->index = kdInterface::kNoIndex;
  auto by_flow = NatFlow();
  by_flow->iface->capture_type = 16;
  by_flow->flow_ifindex = kdInterface::kNoIndex;
  auto no_iface = NatFlow();
  no_iface->iface.reset();
  for (const auto& flow : {by_iface, by_flow, no_iface}) {
    kppAggregator7 record(fixture.settings(), flow);
    EXPECT_EQ(record.ap_mac, "000000000000");
  }
}

TEST_F(Aggregator7, OnlyEthernetLookupResultsCount) {
  struct Case {
    const char* what;
    kdAddr link;
    const char* ap_mac;
  };
  const Case cases[] = {
      {"loopback type", LinkAddr(ARPHRD_LOOPBACK, 6), "000000000000"},
      {"eight-byte address", LinkAddr(ARPHRD_ETHER, 8), "000000000000"},
      {"IP address", Addr("192.0.2.1"), "000000000000"},
      {"never set", kdAddr(), "000000000000"},
      {"packet type ignored", LinkAddr(ARPHRD_ETHER, 6, PACKET_OTHERHOST), "A0A1A2A3A4A5"},
  };
  for (const Case& c : cases) {
    instance.addr_lookup.SetLinkAddress(kApIndex, c.link);
    kppAggregator7 record(fixture.settings(), NatFlow());
    EXPECT_EQ(record.ap_mac, c.ap_mac) << c.what;
  }
  // An index that neither the host's table nor the system knows.
  auto flow = NatFlow();
  flow->iface->index = 0x7FFFFFF0;
  kppAggregator7 unknown(fixture.settings(), flow);
  EXPECT_EQ(unknown.ap_mac, "000000000000");
}

TEST_F(Aggregator7, DefaultMacsForBothAccessPointAndClient) {
  auto flow = NatFlow();
  flow->iface->capture_type = 0;
  flow->mac_a = Addr("10.9.9.9");
  json out = Encoded(flow);
  EXPECT_EQ(out["apMac"], "000000000000");
  EXPECT_EQ(out["flows"][0]["clientMac"], "000000000000");
}

TEST(Aggregator7Mac, TransformKeepsHexDigitsUpperCased) {
  std::string out;
  kppAggregator7::TransformMacAddr("00:1a:2B:3c:4d:5e", out);
  EXPECT_EQ(out, "001A2B3C4D5E");
  // Appends, and upper-cases what was there before.
  out = "ff";
  kppAggregator7::TransformMacAddr("-0g:z1", out);
  EXPECT_EQ(out, "FF01");
}

TEST_F(Aggregator7, OriginDecidesClientAndSource) {
  struct Case {
    uint8_t origin;
    const char* client;
    const char* src_ip;
    uint16_t src_port;
    const char* dst_ip;
    uint16_t dst_port;
  };
  const Case cases[] = {{1, "001122334455", "10.0.0.1", 50000, "192.0.2.7", 443},
                        {2, "66778899AABB", "192.0.2.7", 443, "10.0.0.1", 50000},
                        {0, "66778899AABB", "192.0.2.7", 443, "10.0.0.1", 50000}};
  for (const Case& c : cases) {
    auto flow = NatFlow();
    flow->origin = c.origin;
    const json rec = Encoded(flow)["flows"][0];
    EXPECT_EQ(rec["clientMac"], c.client) << int(c.origin);
    EXPECT_EQ(rec["ipv4"]["srcIp"], c.src_ip) << int(c.origin);
    EXPECT_EQ(rec["ipv4"]["srcPort"], c.src_port) << int(c.origin);
    EXPECT_EQ(rec["ipv4"]["dstIp"], c.dst_ip) << int(c.origin);
    EXPECT_EQ(rec["ipv4"]["dstPort"], c.dst_port) << int(c.origin);
    EXPECT_EQ(rec["ipv4"]["natSrcIp"], "203.0.113.9");
    EXPECT_EQ(rec["ipv4"]["natSrcPort"], 40000);
  }
}

TEST_F(Aggregator7, FamilyRulesAndNat64Translation) {
  struct Case {
    const char* what;
    const char* src;
    const char* dst;
    const char* nat;
    const char* family;
    const char* src_text;
    const char* dst_text;
    const char* nat_text;
  };
  const Case cases[] = {
      {"all IPv4", "10.0.0.1", "192.0.2.7", "203.0.113.9", "ipv4", "10.0.0.1", "192.0.2.7",
       "203.0.113.9"},
      {"all IPv6", "2001:db8::1", "2001:db8::2", "2001:db8::3", "ipv6", "2001:db8::1",
       "2001:db8::2", "2001:db8::3"},
      {"destination family does not matter", "2001:db8::1", "192.0.2.7", "2001:db8::3", "ipv6",
       "2001:db8::1", "192.0.2.7", "2001:db8::3"},
      {"IPv4 behind IPv6", "10.0.0.1", "192.0.2.7", "2001:db8::3", "unknown", "10.0.0.1",
       "192.0.2.7", "2001:db8::3"},
      {"IPv6 behind IPv4", "2001:db8::1", "2001:db8::2", "203.0.113.9", "unknown", "2001:db8::1",
       "2001:db8::2", "203.0.113.9"},
      {"NAT64 source", "64:ff9b::c000:201", "2001:db8::2", "2001:db8::3", "xlat", "192.0.2.1",
       "2001:db8::2", "2001:db8::3"},
      {"NAT64 destination only", "2001:db8::1", "64:ff9b::c633:6407", "203.0.113.9", "xlat",
       "2001:db8::1", "198.51.100.7", "203.0.113.9"},
      {"NAT64 translated address", "10.0.0.1", "192.0.2.7", "64:ff9b::cb00:7109", "xlat",
       "10.0.0.1", "192.0.2.7", "203.0.113.9"},
      {"NAT64 everywhere", "64:ff9b::a00:1", "64:ff9b::c000:207", "64:ff9b::cb00:7109", "xlat",
       "10.0.0.1", "192.0.2.7", "203.0.113.9"},
      // Under the /32 prefix the host cannot extract an address: the text stays IPv6.
      {"failed extraction", "64:ff9b:1::c000:201", "192.0.2.7", "203.0.113.9", "xlat",
       "64:ff9b:1::c000:201", "192.0.2.7", "203.0.113.9"},
  };
  for (const Case& c : cases) {
    auto flow = NatFlow();
    flow->addr_a = Addr(c.src, 443);
    flow->addr_b = Addr(c.dst, 8080);
    flow->nat_addr = Addr(c.nat, 40000);
    const json rec = Encoded(flow)["flows"][0];
    EXPECT_EQ(rec["family"], c.family) << c.what;
    ASSERT_TRUE(rec.contains(c.family)) << c.what;
    const json& addresses = rec[c.family];
    EXPECT_EQ(addresses, json({{"srcIp", c.src_text},
                               {"srcPort", 443},
                               {"dstIp", c.dst_text},
                               {"dstPort", 8080},
                               {"natSrcIp", c.nat_text},
                               {"natSrcPort", 40000}}))
        << c.what;
    EXPECT_EQ(rec.size(), 6u) << c.what;
  }
}

TEST_F(Aggregator7, StartAndStopTimes) {
  auto flow = NatFlow();
  flow->first_seen_ms = 1999;
  json rec = Encoded(flow)["flows"][0];
  EXPECT_EQ(rec["startTime"], "1970-01-01T00:00:01Z");
  EXPECT_EQ(rec["state"], "NEW");
  EXPECT_FALSE(rec.contains("stopTime"));

  flow->closed = true;
  rec = Encoded(flow)["flows"][0];
  EXPECT_EQ(rec["state"], "CLOSE");
  EXPECT_EQ(rec["stopTime"], "2024-03-01T12:00:05Z");

  kppAggregator7::Entry entry(flow->flow_digest, flow);
  EXPECT_EQ(entry.start_time, 1u);
  EXPECT_EQ(entry.stop_time, 1709294405u);
  EXPECT_EQ(entry.state, kppAggregator7::Entry::kClosed);
}

TEST_F(Aggregator7, LaterEventForADigestReplacesTheEntry) {
  struct Case {
    bool first_closed, second_closed;
    const char* state;
    bool stop_time;
  };
  const Case cases[] = {{false, true, "CLOSE", true}, {true, false, "NEW", false}};
  for (const Case& c : cases) {
    auto first = NatFlow();
    first->closed = c.first_closed;
    auto second = NatFlow();
    second->closed = c.second_closed;
    Send(first, 4);
    Send(second, 8);
    auto payloads = fixture.Payloads();
    ASSERT_EQ(payloads.size(), 1u);
    const json& flows = payloads[0]["flows"];
    ASSERT_EQ(flows.size(), 1u) << c.state;
    EXPECT_EQ(flows[0]["state"], c.state);
    EXPECT_EQ(flows[0].contains("stopTime"), c.stop_time) << c.state;
  }
}

TEST_F(Aggregator7, FlowsOfOneAccessPointShareARecord) {
  auto first = NatFlow(0x1);
  auto second = NatFlow(0x2);
  second->origin = 2;
  auto elsewhere = NatFlow(0x3);
  elsewhere->iface->capture_type = 16;
  auto first_closed = NatFlow(0x1);
  first_closed->closed = true;
  for (const auto& flow : {first, second, elsewhere, first_closed}) Send(flow);

  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 2u);
  std::map<std::string, json> by_ap;
  for (const json& payload : payloads) {
    EXPECT_EQ(payload.size(), 2u) << "no envelope";
    by_ap[payload["apMac"].get<std::string>()] = payload["flows"];
  }
  const json& flows = by_ap["AABBCC000005"];
  ASSERT_EQ(flows.size(), 2u);
  // A replaced entry keeps its place.
  EXPECT_EQ(flows[0]["uniqueId"], "0000000000000001");
  EXPECT_EQ(flows[0]["state"], "CLOSE");
  EXPECT_EQ(flows[1]["uniqueId"], "0000000000000002");
  EXPECT_EQ(flows[1]["clientMac"], "66778899AABB");
  ASSERT_EQ(by_ap["AABBCC000006"].size(), 1u);
  EXPECT_EQ(by_ap["AABBCC000006"][0]["uniqueId"], "0000000000000003");
}

// What records read of an address, through the calls the daemon promises, against this host's
// own out-of-line answers.
std::vector<kdAddr> Addresses() {
  std::vector<kdAddr> addresses(4);
  addresses[1].Parse("192.0.2.7");
  addresses[2].Parse("2001:db8::1");
  addresses[3].Parse("00:1a:2b:3c:4d:5e");
  for (auto [hatype, halen] : {std::pair<uint16_t, uint8_t>{1, 6}, {1, 8}, {772, 6}, {256, 6}})
    addresses.push_back(LinkAddr(hatype, halen));
  return addresses;
}

TEST(RecordAddress, KindsAgreeWithTheHost) {
  for (const kdAddr& addr : Addresses()) {
    SCOPED_TRACE(addr.GetString());
    EXPECT_EQ(kppIsIPv4(addr), addr.IsIPv4());
    EXPECT_EQ(kppIsIPv6(addr), addr.IsIPv6());
    EXPECT_EQ(kppIsEthernet(addr), addr.IsEthernet());
  }
}

// Texts of differing lengths one after another through the thread's one buffer, appended after
// what the key already holds.
TEST(RecordAddress, TextsAreTheHostsAppendedInTurn) {
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
