// Record type 2: flows and traffic per local host, peer, IP protocol, application and protocol.
#include <gtest/gtest.h>

#include "kpp_aggregator2.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

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
