// The flow sampling pass: selection, counters, the log line and the wake-up.
#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace {

using namespace testing_support;

const char* const kLine = "test: flows: ";

TEST(FlowPass, EmptyOrFullyRejectedSnapshotsAreSilent) {
  PluginFixture fixture;
  LogCapture log;
  fixture.Deliver({});
  kdFlowMap no_buckets(0);
  fixture.plugin().ProcessFlows(&no_buckets);
  auto incomplete = MakeFlow();
  incomplete->dpi_complete = false;
  fixture.Deliver({incomplete});
  EXPECT_FALSE(log.Contains(kLine));
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
}

TEST(FlowPass, CountersAndLogLine) {
  PluginFixture fixture;
  LogCapture log;
  auto incomplete_without_packets = MakeFlow();
  incomplete_without_packets->dpi_complete = false;
  incomplete_without_packets->packets_a = incomplete_without_packets->packets_b = 0;
  auto no_packets = MakeFlow();
  no_packets->packets_a = 0;
  no_packets->packets_b = 0;
  auto wrapped_to_zero = MakeFlow();
  wrapped_to_zero->packets_a = 0xFFFFFFFF;
  wrapped_to_zero->packets_b = 1;
  auto unknown = MakeFlow();
  unknown->endpoint_map = 0;
  auto other_app = MakeFlow();
  other_app->detected_application = 11;
  fixture.Deliver({MakeFlow(), incomplete_without_packets, no_packets, wrapped_to_zero, unknown,
                   MakeFlow(), other_app});
  // Type 1 rejects a flow whose local endpoint is unknown, and counts it.
  EXPECT_TRUE(log.Contains(
      "test: flows: 3/7, new: 2, aggregated: 1, filtered: criteria: 0, DPI complete: 1, "
      "no packets: 2, unknown map: 1"));
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 2u);
}

TEST(FlowPass, UnknownMapIsCountedButKeptByOtherTypes) {
  PluginFixture fixture(json{{"aggregator", 2}});
  LogCapture log;
  auto unknown = MakeFlow();
  unknown->endpoint_map = 0;
  fixture.Deliver({unknown});
  EXPECT_TRUE(log.Contains("test: flows: 1/1, new: 1, aggregated: 0, filtered: criteria: 0, "
                           "DPI complete: 0, no packets: 0, unknown map: 1"));
}

TEST(FlowPass, TypeSevenBuildsNothingFromSnapshots) {
  PluginFixture fixture(json{{"aggregator", 7}});
  LogCapture log;
  fixture.Deliver({MakeFlow(), MakeFlow()});
  EXPECT_FALSE(log.Contains(kLine));
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
}

TEST(FlowPass, CriteriaStopAtTheFirstFalseExpression) {
  // A flow rejected by the first expression is counted once, whatever the second says.
  PluginFixture fixture(json{{"criteria", {"ip_protocol == 17", "vlan_id == 0"}}});
  LogCapture log;
  auto udp = MakeFlow();
  udp->ip_protocol = 17;
  auto udp_on_vlan = MakeFlow();
  udp_on_vlan->ip_protocol = 17;
  udp_on_vlan->vlan_id = 5;
  fixture.Deliver({MakeFlow(), udp, udp_on_vlan});
  EXPECT_TRUE(log.Contains("test: flows: 1/3, new: 1, aggregated: 0, filtered: criteria: 2, "
                           "DPI complete: 0, no packets: 0, unknown map: 0"));
}

TEST(FlowPass, OtherEventValuesAreIgnored) {
  PluginFixture fixture;
  auto map = MakeFlowMap({MakeFlow()});
  for (uint32_t value : {0u, 2u, 4u, 8u, 0x10002u})
    fixture.plugin().DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(value),
                                            map.get());
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
  // Only the low 16 bits of the value count.
  fixture.plugin().DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(0x70001),
                                          map.get());
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 1u);
}

TEST(FlowPass, EveryBucketIsVisitedAndReleased) {
  PluginFixture fixture;
  std::vector<std::shared_ptr<kdFlow>> flows;
  for (int i = 0; i < 10; ++i) {
    auto flow = MakeFlow();
    flow->detected_protocol = i;
    flows.push_back(flow);
  }
  auto map = MakeFlowMap(flows, 4);
  fixture.plugin().ProcessFlows(map.get());
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 10u);
  for (size_t b = 0; b < map->GetBuckets(); ++b) {
    map->Acquire(b);  // would block for ever if the pass had kept a bucket
    map->Release(b);
  }
}

}  // namespace
