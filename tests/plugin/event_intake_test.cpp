// The event overloads: which statistics and single-flow events feed the sample table.
#include <gtest/gtest.h>

#include "korviad/kd_exception.h"
#include "kpp_record_types.h"
#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

std::shared_ptr<kdFlow> NatFlow() {
  auto flow = MakeFlow();
  flow->nat_addr = Addr("203.0.113.9", 40000);
  return flow;
}

void SendFlow(kppPlugin& plugin, uint32_t event, std::shared_ptr<kdFlow> flow) {
  plugin.DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(event), flow);
}

void SendStats(kppPlugin& plugin, const std::string& iface, uint32_t event = 32) {
  kdPacketStats stats;
  stats.raw = 1;
  plugin.DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(event), iface, &stats);
}

TEST(EventIntake, StatisticsFeedOnlyAggregator5) {
  PluginFixture fixture;
  for (uint32_t type = 1; type <= 8; ++type) {
    if (type == 5) continue;
    fixture.Configure({{"aggregator", type}});
    SendStats(fixture.plugin(), "eth0");
    EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u) << type;
  }
  fixture.Configure({{"aggregator", 5}});
  // The event value is not looked at.
  for (uint32_t event : {0u, 1u, 32u, 0xFFFFFFFFu}) SendStats(fixture.plugin(), "eth0", event);
  SendStats(fixture.plugin(), "eth1");
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 2u);
}

TEST(EventIntake, SingleFlowEventsFeedOnlyAggregator7) {
  PluginFixture fixture;
  for (uint32_t type = 1; type <= 8; ++type) {
    if (type == 7) continue;
    fixture.Configure({{"aggregator", type}});
    SendFlow(fixture.plugin(), 4, NatFlow());
    SendFlow(fixture.plugin(), 8, NatFlow());
    EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u) << type;
  }
}

TEST(EventIntake, SingleFlowEventValuesAndTranslation) {
  PluginFixture fixture(ConfWithSink({{"aggregator", 7}}));
  kppPlugin& plugin = fixture.plugin();
  // Only the low 16 bits count, and of them only 4 and 8.
  for (uint32_t event : {0u, 1u, 2u, 16u, 32u, 12u, 0x10002u, 0x40000u}) {
    SendFlow(plugin, event, NatFlow());
    EXPECT_EQ(plugin.GetSampleCount(), 0u) << event;
  }
  // Flows that were not translated, and a missing flow.
  for (uint32_t event : {4u, 8u}) {
    SendFlow(plugin, event, MakeFlow());
    SendFlow(plugin, event, nullptr);
  }
  EXPECT_EQ(plugin.GetSampleCount(), 0u);

  for (uint32_t event : {4u, 8u, 0x10004u, 0xFFFF0008u}) {
    auto flow = NatFlow();
    flow->flow_digest = event;
    SendFlow(plugin, event, flow);
  }
  // Capture type 0 needs no lookup: every flow meets under the default access point.
  ASSERT_EQ(plugin.GetSampleCount(), 1u);
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0]["apMac"], "000000000000");
  EXPECT_EQ(payloads[0]["flows"].size(), 4u);
}

TEST(EventIntake, LookupWithoutHostInstanceFailsTheEvent) {
  PluginFixture fixture(json{{"aggregator", 7}});
  auto flow = NatFlow();
  flow->iface->capture_type = 2;
  flow->iface->index = 5;
  EXPECT_THROW(SendFlow(fixture.plugin(), 4, flow), kdException);
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
  // The lock was not left held, and flows needing no lookup still arrive.
  flow->iface->capture_type = 0;
  SendFlow(fixture.plugin(), 4, flow);
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 1u);
}

TEST(EventIntake, FlowMapsBuildNoNatRecords) {
  PluginFixture fixture(json{{"aggregator", 7}});
  fixture.Deliver({NatFlow()});
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
}

TEST(EventIntake, RecordBuiltBeforeTypeChangeIsDropped) {
  LogCapture log;
  PluginFixture fixture(json{{"aggregator", 5}});
  kppPlugin& plugin = fixture.plugin();
  kdPacketStats stats;
  auto stale_stats = kppRecordTypeOf(5)->from_stats_event(fixture.settings(), "eth0", stats);
  auto stale_nat = kppRecordTypeOf(7)->from_flow_event(fixture.settings(), NatFlow());

  fixture.Configure({{"aggregator", 1}});
  // Nothing of the old type enters an empty table...
  EXPECT_EQ(plugin.InsertOrMerge(stale_stats), kppPlugin::InsertResult::kDropped);
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
  // ...nor merges into a sample of the new type that happens to share its key.
  auto current = Record(plugin, "eth0", 3);
  ASSERT_EQ(plugin.InsertOrMerge(current), kppPlugin::InsertResult::kNew);
  EXPECT_EQ(plugin.InsertOrMerge(stale_stats), kppPlugin::InsertResult::kDropped);
  EXPECT_EQ(current->count, 3u);

  fixture.Configure({{"aggregator", 7}});
  auto current_nat = kppRecordTypeOf(7)->from_flow_event(fixture.settings(), NatFlow());
  ASSERT_EQ(plugin.InsertOrMerge(current_nat), kppPlugin::InsertResult::kNew);
  EXPECT_EQ(plugin.InsertOrMerge(stale_stats), kppPlugin::InsertResult::kDropped);
  EXPECT_EQ(plugin.InsertOrMerge(stale_nat), kppPlugin::InsertResult::kMerged);
  EXPECT_EQ(plugin.GetSampleCount(), 1u);
}

}  // namespace
