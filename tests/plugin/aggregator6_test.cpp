// Record type 6: tagged traffic per host pair, application and protocol.
#include <gtest/gtest.h>

#include "kpp_aggregator6.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

std::shared_ptr<kdFlow> TaggedFlow(std::set<std::string> tags) {
  return FlowWith([&](kdFlow& f) {
    f.tags = std::move(tags);
    f.application_category = 3;
    f.protocol_category = 5;
  });
}

TEST(Aggregator6, KeyByOverlayGroupsByTagSetAndKeepsTheFirstFlowsMembers) {
  auto other_app = TaggedFlow({"guest", "vpn"});
  other_app->detected_application = 20;
  other_app->addr_b = Addr("198.51.100.1", 80);
  json stats = StatsFor({{"aggregator", 6}, {"privacy_mode", true}, {"key_by_overlay", true}},
                        {TaggedFlow({"vpn", "guest"}), other_app});
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["tags"], json({"guest", "vpn"}));
  EXPECT_EQ(stats[0]["other_port"], 443);
  EXPECT_EQ(stats[0]["local_bytes"], 2000);
}

TEST(Aggregator6, FlatRowsAndNestedLeaves) {
  const json leaf = {{"digests", {"0000000000001234"}},
                     {"interface", "eth0"},
                     {"internal", true},
                     {"ip_protocol", 6},
                     {"ip_version", 4},
                     {"local_bytes", 1000},
                     {"local_packets", 10},
                     {"local_origin", true},
                     {"other_bytes", 5000},
                     {"other_packets", 5},
                     {"other_port", 443},
                     {"other_type", "unknown"},
                     {"tags", {"guest", "vpn"}}};
  json row = leaf;
  row["detected_application"] = 10;
  row["detected_application_name"] = "10.example";
  row["application_category"] = 3;
  row["protocol_category"] = 5;
  row["other_ip"] = "192.0.2.7";
  row["detected_protocol"] = 91;
  row["detected_protocol_name"] = "TLS";
  json private_row = row;
  row["local_ip"] = "10.0.0.1";
  row["local_mac"] = "00:11:22:33:44:55";
  const json private_tree = {{"192.0.2.7", {{"10.example", {{"TLS", leaf}}}}}};
  const json tree = {{"00:11:22:33:44:55", {{"10.0.0.1", private_tree}}}};

  struct Case {
    json conf;
    json stats;
  } cases[] = {
      {{}, json::array({row})},
      {{{"privacy_mode", true}}, json::array({private_row})},
      // Key by overlay drops the per-application and per-address members from rows.
      {{{"key_by_overlay", true}}, json::array({leaf})},
      {{{"key_by_overlay", true}, {"privacy_mode", true}}, json::array({leaf})},
      {{{"nested", true}}, tree},
      {{{"nested", true}, {"key_by_overlay", true}}, tree},
      {{{"nested", true}, {"privacy_mode", true}}, private_tree},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.conf.dump());
    c.conf["aggregator"] = 6;
    EXPECT_EQ(StatsFor(c.conf, {TaggedFlow({"vpn", "guest"})}), c.stats);
  }
}

TEST(Aggregator6, SamplesOnOneNestedPathAreSummed) {
  // Differing only in IP protocol, or (key by overlay) only in tags, gives two samples on one path.
  auto udp = TaggedFlow({"vpn", "guest"});
  udp->ip_protocol = 17;
  udp->digests = {0x99};
  auto retagged = TaggedFlow({"iot"});
  retagged->digests = {0x99};
  struct Case {
    json conf;
    std::shared_ptr<kdFlow> second;
  } cases[] = {
      {{{"nested", true}, {"privacy_mode", true}}, udp},
      {{{"nested", true}, {"privacy_mode", true}, {"key_by_overlay", true}}, retagged},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.conf.dump());
    c.conf["aggregator"] = 6;
    json stats = StatsFor(c.conf, {TaggedFlow({"vpn", "guest"}), c.second});
    const json& leaf = stats["192.0.2.7"]["10.example"]["TLS"];
    EXPECT_EQ(leaf["local_bytes"], 2000);
    EXPECT_EQ(leaf["other_bytes"], 10000);
    EXPECT_EQ(leaf["local_packets"], 20);
    EXPECT_EQ(leaf["other_packets"], 10);
    EXPECT_EQ(leaf["digests"], json({"0000000000001234", "0000000000000099"}));
    EXPECT_EQ(leaf["ip_protocol"], 6);
    EXPECT_EQ(leaf["tags"], json({"guest", "vpn"}));
  }
}

}  // namespace
