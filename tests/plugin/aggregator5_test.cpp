// Record type 5: statistics per capture interface, from flows and packet-statistics events.
#include <gtest/gtest.h>

#include "kpp_aggregator5.h"
#include "plugin_fixture.h"

namespace {

using namespace testing_support;

// The packet-statistics members of a row.
const std::vector<std::string> kStatsKeys = {"raw",
                                             "ethernet",
                                             "mpls",
                                             "pppoe",
                                             "vlan",
                                             "fragmented",
                                             "discarded",
                                             "largest_bytes",
                                             "ip",
                                             "icmp",
                                             "igmp",
                                             "tcp",
                                             "tcp_seq_errors",
                                             "tcp_resets",
                                             "udp",
                                             "ip_bytes",
                                             "wire_bytes",
                                             "discarded_bytes",
                                             "queue_dropped",
                                             "capture_dropped",
                                             "capture_filtered",
                                             "flow_dropped",
                                             "flow_evicted"};
const std::vector<std::string> kFlowKeys = {"local_packets", "other_packets", "local_bytes",
                                            "other_bytes"};

// Every keyed counter set to base plus its position, and the four unwritten ones to 1000 to 1003.
kdPacketStats Counters(uint64_t base) {
  kdPacketStats stats;
  for (size_t i = 0; i < kStatsKeys.size(); ++i) stats.SetByName(kStatsKeys[i], base + i);
  uint64_t unwritten = 1000;
  for (const char* name : {"ip4", "ip6", "ip4_bytes", "ip6_bytes"})
    stats.SetByName(name, unwritten++);
  return stats;
}

json Conf(json extra = json::object()) {
  extra["aggregator"] = 5;
  return ConfWithSink(extra);
}

void SendStats(kppPlugin& plugin, const std::string& iface, kdPacketStats stats) {
  plugin.DispatchProcessorEvent(kdPluginProcessor::EVENT_PKT_GLOBAL_STATS, iface, &stats);
}

// The rows of the only payload, by interface name.
std::map<std::string, json> Rows(PluginFixture& fixture) {
  auto payloads = fixture.Payloads();
  EXPECT_EQ(payloads.size(), 1u);
  std::map<std::string, json> rows;
  if (payloads.empty()) return rows;
  for (const json& row : payloads[0]["stats"]) {
    EXPECT_EQ(row.size(), 28u) << row.dump();
    rows[row["ifname"].get<std::string>()] = row;
  }
  return rows;
}

TEST(Aggregator5, EventOnlyInterface) {
  PluginFixture fixture(Conf());
  SendStats(fixture.plugin(), "wan0", Counters(100));
  auto rows = Rows(fixture);
  ASSERT_EQ(rows.count("wan0"), 1u);
  const json& row = rows["wan0"];
  for (const auto& name : kFlowKeys) EXPECT_EQ(row[name], 0u) << name;
  for (size_t i = 0; i < kStatsKeys.size(); ++i)
    EXPECT_EQ(row[kStatsKeys[i]], 100 + i) << kStatsKeys[i];
}

TEST(Aggregator5, FlowOnlyInterface) {
  PluginFixture fixture(Conf());
  fixture.Deliver({MakeFlow()});
  auto rows = Rows(fixture);
  ASSERT_EQ(rows.count("eth0"), 1u);
  const json& row = rows["eth0"];
  for (const auto& name : kStatsKeys) EXPECT_EQ(row[name], 0u) << name;
  // MakeFlow has endpoint_map 1, so B's counts are the local ones.
  EXPECT_EQ(row["local_packets"], 5u);
  EXPECT_EQ(row["other_packets"], 10u);
  EXPECT_EQ(row["local_bytes"], 5000u);
  EXPECT_EQ(row["other_bytes"], 1000u);
}

TEST(Aggregator5, TwoEventsSumAndKeepLargestPacket) {
  PluginFixture fixture(Conf());
  kdPacketStats first = Counters(100);
  first.largest_bytes = 9000;
  kdPacketStats second = Counters(1);
  second.largest_bytes = 1500;
  SendStats(fixture.plugin(), "wan0", first);
  SendStats(fixture.plugin(), "wan0", second);
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 1u);
  auto rows = Rows(fixture);
  const json& row = rows["wan0"];
  for (size_t i = 0; i < kStatsKeys.size(); ++i) {
    if (kStatsKeys[i] == "largest_bytes") continue;
    EXPECT_EQ(row[kStatsKeys[i]], 101 + 2 * i) << kStatsKeys[i];
  }
  EXPECT_EQ(row["largest_bytes"], 9000u);

  // The unwritten counters are summed too.
  kppAggregator5 a(fixture.settings(), "wan0", first);
  a += kppAggregator5(fixture.settings(), "wan0", second);
  EXPECT_EQ(a.packet_stats.ip4, 2000u);
  EXPECT_EQ(a.packet_stats.ip6, 2002u);
  EXPECT_EQ(a.packet_stats.ip4_bytes, 2004u);
  EXPECT_EQ(a.packet_stats.ip6_bytes, 2006u);
  EXPECT_EQ(a.packet_stats.largest_bytes, 9000u);
}

TEST(Aggregator5, FlowsAndEventsMeetInOneSample) {
  PluginFixture fixture(Conf());
  SendStats(fixture.plugin(), "eth0", Counters(100));
  fixture.Deliver({MakeFlow(), MakeFlow()});
  SendStats(fixture.plugin(), "eth0", Counters(100));
  auto rows = Rows(fixture);
  ASSERT_EQ(rows.size(), 1u);
  const json& row = rows["eth0"];
  EXPECT_EQ(row["raw"], 200u);
  EXPECT_EQ(row["largest_bytes"], 107u);
  EXPECT_EQ(row["local_bytes"], 10000u);
  EXPECT_EQ(row["other_bytes"], 2000u);
  EXPECT_EQ(row["local_packets"], 10u);
  EXPECT_EQ(row["other_packets"], 20u);
}

TEST(Aggregator5, EndpointMapPairingIsReversed) {
  struct Case {
    uint8_t endpoint_map;
    uint64_t local_bytes, other_bytes;
    uint32_t local_packets, other_packets;
  };
  const Case cases[] = {{1, 7, 100, 2, 9}, {2, 100, 7, 9, 2}, {0, 100, 7, 9, 2}};
  PluginFixture fixture(Conf());
  for (const Case& c : cases) {
    auto flow = MakeFlow();
    flow->endpoint_map = c.endpoint_map;
    flow->bytes_a = 100;
    flow->bytes_b = 7;
    flow->packets_a = 9;
    flow->packets_b = 2;
    kppAggregator5 record(fixture.settings(), flow);
    EXPECT_EQ(record.GetKey(), "eth0");
    EXPECT_EQ(record.local_bytes, c.local_bytes) << int(c.endpoint_map);
    EXPECT_EQ(record.other_bytes, c.other_bytes) << int(c.endpoint_map);
    EXPECT_EQ(record.local_packets, c.local_packets) << int(c.endpoint_map);
    EXPECT_EQ(record.other_packets, c.other_packets) << int(c.endpoint_map);
  }
}

TEST(Aggregator5, NestedFormIsKeyedByInterfaceName) {
  PluginFixture fixture(Conf({{"nested", true}}));
  fixture.Deliver({MakeFlow()});
  SendStats(fixture.plugin(), "wan0", Counters(1));
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  const json& stats = payloads[0]["stats"];
  ASSERT_TRUE(stats.is_object());
  ASSERT_EQ(stats.size(), 2u);
  for (const char* name : {"eth0", "wan0"}) {
    ASSERT_TRUE(stats.contains(name)) << name;
    EXPECT_EQ(stats[name].size(), 28u);
    EXPECT_EQ(stats[name]["ifname"], name);
  }
  EXPECT_EQ(stats["eth0"]["local_bytes"], 5000u);
  EXPECT_EQ(stats["wan0"]["raw"], 1u);
}

TEST(Aggregator5, PacketCountersWrapAt32BitsBytesDoNot) {
  PluginFixture fixture(Conf());
  auto flow = MakeFlow();
  flow->endpoint_map = 2;
  flow->packets_a = 0xFFFFFFFF;
  flow->packets_b = 0xFFFFFFF0;
  flow->bytes_a = 0xFFFFFFFF;
  flow->bytes_b = 0xFFFFFFFF;
  kppAggregator5 a(fixture.settings(), flow);
  a += kppAggregator5(fixture.settings(), flow);
  EXPECT_EQ(a.local_packets, 0xFFFFFFFEu);
  EXPECT_EQ(a.other_packets, 0xFFFFFFE0u);
  EXPECT_EQ(a.local_bytes, 0x1FFFFFFFEu);
  EXPECT_EQ(a.other_bytes, 0x1FFFFFFFEu);
  flow->packets_a = 3;
  a += kppAggregator5(fixture.settings(), flow);
  EXPECT_EQ(a.local_packets, 1u);
}

}  // namespace
