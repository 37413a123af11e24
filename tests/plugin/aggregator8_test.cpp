// Record type 8: traffic per VLAN, local host, peer and port, application, protocol and host name.
#include <gtest/gtest.h>

#include "kpp_aggregator8.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

TEST(Aggregator8, HostNamePrefersThePreferredOne) {
  struct Case {
    const char *preferred, *plain, *hostname;
  } cases[] = {
      {"preferred.example", "plain.example", "preferred.example"},
      {"", "plain.example", "plain.example"},
      {"", "", ""},
  };
  PluginFixture fixture;
  for (const Case& c : cases) {
    auto flow = FlowWith([&](kdFlow& f) {
      f.preferred_host_name = c.preferred;
      f.host_name = c.plain;
    });
    EXPECT_EQ(kppAggregator8(fixture.settings(), flow).hostname, c.hostname);
  }
}

TEST(Aggregator8, HostNamesMakeSamplesThatShareOneNestedLeaf) {
  auto first = FlowWith([](kdFlow& f) { f.host_name = "a.example"; });
  auto second = FlowWith([](kdFlow& f) { f.host_name = "b.example"; });
  EXPECT_EQ(StatsFor({{"aggregator", 8}}, {first, second}).size(), 2u);

  json stats = StatsFor({{"aggregator", 8}, {"nested", true}}, {first, second});
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["00:11:22:33:44:55"]["10.0.0.1"]["192.0.2.7"][443][10][91],
            json({{"download", 10000},
                  {"ip_protocol", 6},
                  {"ip_version", 4},
                  {"other_port", 443},
                  {"packets", 30},
                  {"upload", 2000},
                  {"vlan_id", 0}}));
}

}  // namespace
