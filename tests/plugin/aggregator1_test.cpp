// Record type 1: traffic per local host, application and protocol.
#include <gtest/gtest.h>

#include "kpp_aggregator1.h"
#include "plugin_fixture.h"

namespace {

using namespace testing_support;

TEST(Aggregator1, SidesFollowEndpointMap) {
  PluginFixture fixture;
  auto flow = MakeFlow();
  kppAggregator1 a(fixture.settings(), flow);
  EXPECT_EQ(a.local_mac, "00:11:22:33:44:55");
  EXPECT_EQ(a.local_ip, "10.0.0.1");
  EXPECT_EQ(a.upload, 1000u);
  EXPECT_EQ(a.download, 5000u);
  EXPECT_EQ(a.packets, 15u);

  flow->endpoint_map = 2;
  kppAggregator1 b(fixture.settings(), flow);
  EXPECT_EQ(b.local_mac, "66:77:88:99:aa:bb");
  EXPECT_EQ(b.local_ip, "192.0.2.7");
  EXPECT_EQ(b.upload, 5000u);
  EXPECT_EQ(b.download, 1000u);
}

TEST(Aggregator1, UnnamedApplicationLabel) {
  auto flow = MakeFlow();
  flow->detected_application = 0;
  flow->detected_application_name = "";
  EXPECT_EQ(kppAggregator1(kppRecordSettings(), flow).application_id, "0.korvia.unclassified");
}

TEST(Aggregator1, PacketsWrapAt32Bits) {
  PluginFixture fixture;
  auto flow = MakeFlow();
  flow->packets_a = 0xFFFFFFFF;
  flow->packets_b = 2;
  kppAggregator1 a(fixture.settings(), flow);
  EXPECT_EQ(a.packets, 1u);
  kppAggregator1 b(fixture.settings(), flow);
  b.packets = 0xFFFFFFFF;
  a += b;
  EXPECT_EQ(a.packets, 0u);
}

TEST(Aggregator1, MergedSampleKeepsFirstDimensionsAndSums) {
  PluginFixture fixture(ConfWithSink({{"privacy_mode", true}}));
  auto first = MakeFlow();
  auto second = MakeFlow();
  second->addr_a = Addr("10.0.0.2", 1);
  second->mac_a = Addr("00:00:00:00:00:02");
  fixture.Deliver({first, second});
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  ASSERT_EQ(payloads[0]["stats"].size(), 1u);
  EXPECT_EQ(payloads[0]["stats"][0]["upload"], 2000);
  EXPECT_EQ(payloads[0]["stats"][0]["packets"], 30);
}

}  // namespace
