// Record type 4: traffic per VLAN, local host, peer and port, application and protocol; and the
// nested form indexed by number that it shares with type 8.
#include <gtest/gtest.h>

#include "kpp_aggregator4.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

// Small numbers keep the nested arrays short: VLAN 1, port 2, application 1, protocol 3.
std::shared_ptr<kdFlow> SmallFlow() {
  return FlowWith([](kdFlow& f) {
    f.vlan_id = 1;
    f.addr_b = Addr("192.0.2.7", 2);
    f.detected_application = 1;
    f.detected_protocol = 3;
  });
}

const json kSmallLeaf = {{"download", 5000}, {"ip_protocol", 6}, {"ip_version", 4},
                         {"other_port", 2},  {"packets", 15},    {"upload", 1000},
                         {"vlan_id", 1}};

TEST(Aggregator4, NestedLevelsAreArrayPositionsPaddedWithNull) {
  json stats = StatsFor({{"aggregator", 4}, {"nested", true}}, {MakeFlow()});
  ASSERT_TRUE(stats.is_array());
  ASSERT_EQ(stats.size(), 1u);
  const json& ports = stats[0]["00:11:22:33:44:55"]["10.0.0.1"]["192.0.2.7"];
  ASSERT_EQ(ports.size(), 444u);
  EXPECT_TRUE(ports[442].is_null());
  ASSERT_EQ(ports[443].size(), 11u);
  ASSERT_EQ(ports[443][10].size(), 92u);
  EXPECT_TRUE(ports[443][10][90].is_null());
  EXPECT_EQ(ports[443][10][91], json({{"download", 5000},
                                      {"ip_protocol", 6},
                                      {"ip_version", 4},
                                      {"other_port", 443},
                                      {"packets", 15},
                                      {"upload", 1000},
                                      {"vlan_id", 0}}));
}

// What types 4 and 8 share in nested form, with the host name of type 8 left out of it.
class VlanPortNested : public testing::TestWithParam<uint32_t> {
 protected:
  json Conf(json extra) const {
    extra["aggregator"] = GetParam();
    return extra;
  }
};

TEST_P(VlanPortNested, PrivacyPathHasFiveLevels) {
  json stats = StatsFor(Conf({{"nested", true}, {"privacy_mode", true}}), {SmallFlow()});
  json expected = json::parse(R"([null, {"192.0.2.7": [null, null, [null, [null, null, null,
                               "leaf"]]]}])");
  expected[1]["192.0.2.7"][2][1][3] = kSmallLeaf;
  EXPECT_EQ(stats, expected);
}

TEST_P(VlanPortNested, PositionsAboveTheLimitAreLeftOutOfTheTreeOnly) {
  auto big_application = FlowWith([](kdFlow& f) {
    f.vlan_id = 5;
    f.detected_application = 70000;
  });
  auto big_protocol = FlowWith([](kdFlow& f) {
    f.vlan_id = 5;
    f.detected_protocol = 4294967295u;
  });
  PluginFixture fixture(ConfWithSink(Conf({{"nested", true}, {"privacy_mode", true}})));
  LogCapture log;
  fixture.Deliver({big_application, SmallFlow(), big_protocol});
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  // Nothing of the refused records' branch (VLAN 5) is built.
  ASSERT_EQ(payloads[0]["stats"].size(), 2u);
  EXPECT_EQ(payloads[0]["stats"][1]["192.0.2.7"][2][1][3], kSmallLeaf);
  EXPECT_EQ(log.Count("test: 2 nested record(s) skipped: position out of range\n"), 1u);
  EXPECT_EQ(log.Count("nested record(s) skipped"), 1u);

  fixture.Configure(ConfWithSink(Conf({{"privacy_mode", true}})));
  fixture.Deliver({big_application, SmallFlow(), big_protocol});
  payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0]["stats"].size(), 3u);
  EXPECT_EQ(log.Count("nested record(s) skipped"), 1u);
}

TEST_P(VlanPortNested, SamplesOnOneNestedPathAreSummed) {
  // Keyed with the local addresses, placed after privacy mode was turned on: two samples meet on
  // one path. The second also differs in host name and in members outside the key.
  auto second = SmallFlow();
  second->mac_a = Addr("00:00:00:00:00:02");
  second->host_name = "other.example";
  second->ip_version = 6;
  PluginFixture fixture(ConfWithSink(Conf({})));
  fixture.Deliver({SmallFlow(), second});
  fixture.Configure(ConfWithSink(Conf({{"nested", true}, {"privacy_mode", true}})));
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  json leaf = kSmallLeaf;
  leaf["download"] = 10000;
  leaf["upload"] = 2000;
  leaf["packets"] = 30;
  EXPECT_EQ(payloads[0]["stats"][1]["192.0.2.7"][2][1][3], leaf);
}

INSTANTIATE_TEST_SUITE_P(Types4And8, VlanPortNested, testing::Values(4u, 8u));

}  // namespace
