// Record type 6: tagged traffic per host pair, IP protocol, application and protocol, or
// per tag set and host pair.
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

TEST(Aggregator6, KeyByOverlayLeavesOutApplicationAndAddressMembers) {
  // Rows keep what the nested leaf holds; nested trees keep their paths.
  const json nested =
      StatsFor({{"aggregator", 6}, {"nested", true}}, {TaggedFlow({"vpn", "guest"})});
  const json& below_local = nested.at("00:11:22:33:44:55").at("10.0.0.1");
  const json& leaf = below_local.at("192.0.2.7").at("10.example").at("TLS");
  for (const json& conf :
       {json{{"key_by_overlay", true}}, json{{"key_by_overlay", true}, {"privacy_mode", true}}}) {
    json with_type = conf;
    with_type["aggregator"] = 6;
    EXPECT_EQ(StatsFor(with_type, {TaggedFlow({"vpn", "guest"})}), json::array({leaf})) << conf;
    with_type["nested"] = true;
    EXPECT_EQ(StatsFor(with_type, {TaggedFlow({"vpn", "guest"})}),
              conf.contains("privacy_mode") ? below_local : nested)
        << conf;
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
