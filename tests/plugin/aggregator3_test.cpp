// Record type 3: flow detail per local host, peer, IP protocol, application and protocol.
#include <gtest/gtest.h>

#include "kpp_aggregator3.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

TEST(Aggregator3, OriginInterfaceAndPeerKind) {
  struct Case {
    uint8_t origin, endpoint_map, other_type;
    bool local_origin;
    const char* word;
  } cases[] = {
      {2, 2, 0, true, "unknown"}, {1, 2, 4, false, "broadcast"}, {0, 1, 5, true, "remote"},
      {2, 0, 6, false, "error"},  {1, 0, 7, false, "unknown"},   {1, 1, 1, true, "unsupported"},
  };
  PluginFixture fixture;
  for (const Case& c : cases) {
    auto flow = FlowWith([&](kdFlow& f) {
      f.origin = c.origin;
      f.endpoint_map = c.endpoint_map;
      f.other_type = c.other_type;
    });
    kppAggregator3 record(fixture.settings(), flow);
    EXPECT_EQ(record.local_origin, c.local_origin) << int{c.origin} << "/" << int{c.endpoint_map};
    EXPECT_EQ(record.other_type, c.word) << int{c.other_type};
  }
  auto external = MakeFlow();
  external->iface = std::make_shared<kdInterface>(*external->iface);
  external->iface->role = kdInterface::kRoleExternal;
  external->iface->name = "wan0";
  kppAggregator3 record(fixture.settings(), external);
  EXPECT_FALSE(record.internal);
  EXPECT_EQ(record.interface, "wan0");
}

TEST(Aggregator3, MergedSampleKeepsThePortOfItsFirstFlow) {
  auto other_port = FlowWith([](kdFlow& f) { f.addr_b = Addr("192.0.2.7", 8443); });
  json stats = StatsFor({{"aggregator", 3}}, {MakeFlow(), other_port});
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["other_port"], 443);
  EXPECT_EQ(stats[0]["packets"], 30);
}

TEST(Aggregator3, SamplesOnOneNestedPathAreSummed) {
  auto udp = FlowWith([](kdFlow& f) {
    f.ip_protocol = 17;
    f.digests = {0x99};
    f.addr_b = Addr("192.0.2.7", 53);
  });
  json stats =
      StatsFor({{"aggregator", 3}, {"nested", true}, {"privacy_mode", true}}, {MakeFlow(), udp});
  const json& leaf = stats["192.0.2.7"]["10.example"]["TLS"];
  EXPECT_EQ(leaf["local_bytes"], 2000);
  EXPECT_EQ(leaf["other_bytes"], 10000);
  EXPECT_EQ(leaf["packets"], 30);
  EXPECT_EQ(leaf["digests"], json({"0000000000001234", "0000000000000099"}));
  EXPECT_EQ(leaf["ip_protocol"], 6);
  EXPECT_EQ(leaf["other_port"], 443);
}

}  // namespace
