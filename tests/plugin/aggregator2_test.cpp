// Record type 2: flows and traffic per local host, peer, application and protocol.
#include <gtest/gtest.h>

#include "kpp_aggregator2.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

TEST(Aggregator2, FlatRowsAndNestedLeaves) {
  const json leaf = {{"flow_count", 1},
                     {"ip_protocol", 6},
                     {"local_bytes", 1000},
                     {"other_bytes", 5000},
                     {"packets", 15}};
  json row = leaf;
  row["application_id"] = "10.example";
  row["other_ip"] = "192.0.2.7";
  row["protocol_id"] = 91;
  json private_row = row;
  row["local_ip"] = "10.0.0.1";
  row["local_mac"] = "00:11:22:33:44:55";
  const json private_tree = {{"192.0.2.7", {{"10.example", {{"91", leaf}}}}}};

  struct Case {
    json conf;
    json stats;
  } cases[] = {
      {{}, json::array({row})},
      {{{"privacy_mode", true}}, json::array({private_row})},
      {{{"nested", true}}, {{"00:11:22:33:44:55", {{"10.0.0.1", private_tree}}}}},
      {{{"nested", true}, {"privacy_mode", true}}, private_tree},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.conf.dump());
    c.conf["aggregator"] = 2;
    EXPECT_EQ(StatsFor(c.conf, {MakeFlow()}), c.stats);
  }
}

TEST(Aggregator2, SamplesOnOneNestedPathAreSummed) {
  // The path leaves out the IP protocol, which the key holds.
  auto udp = FlowWith([](kdFlow& f) {
    f.ip_protocol = 17;
    f.digests = {0x99};
  });
  json stats =
      StatsFor({{"aggregator", 2}, {"nested", true}, {"privacy_mode", true}}, {MakeFlow(), udp});
  EXPECT_EQ(stats["192.0.2.7"]["10.example"]["91"], json({{"flow_count", 2},
                                                          {"ip_protocol", 6},
                                                          {"local_bytes", 2000},
                                                          {"other_bytes", 10000},
                                                          {"packets", 30}}));
}

}  // namespace
