// The plugin object: factory, construction, identity, host events and the sample table.
#include <gtest/gtest.h>

#include <fstream>

#include "kpp_plugin.h"
#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

TEST(PluginObject, ConstructionNeedsAConfigurationFileName) {
  for (const kdPluginParameters& parameters :
       {kdPluginParameters{}, kdPluginParameters{{"conf_filename", ""}},
        kdPluginParameters{{"other", "x"}}}) {
    try {
      kppPlugin plugin("agg", parameters);
      ADD_FAILURE() << "constructed without conf_filename";
    } catch (const kdException& e) {
      EXPECT_STREQ(e.what(), "agg: conf_filename: Invalid argument");
    }
  }
}

// A plugin whose host base recorded a type the factory must refuse.
class ForeignTypePlugin : public kppPlugin {
 public:
  ForeignTypePlugin(kdPlugin::Type recorded) : kppPlugin("odd", {{"conf_filename", "/x"}}) {
    type = recorded;
  }
};

TEST(PluginObject, FactoryKeepsOnlySinkAndProcessorTypes) {
  LogCapture log;
  EXPECT_EQ(kppAcceptPlugin(new ForeignTypePlugin(kdPlugin::TYPE_BASE)), nullptr);
  EXPECT_TRUE(log.Contains("Invalid plugin type: odd [0]"));
  EXPECT_EQ(kppAcceptPlugin(new ForeignTypePlugin(static_cast<kdPlugin::Type>(7))), nullptr);
  EXPECT_TRUE(log.Contains("Invalid plugin type: odd [7]"));

  kdPlugin* sink_type = kppAcceptPlugin(new ForeignTypePlugin(kdPlugin::TYPE_SINK));
  EXPECT_NE(sink_type, nullptr);
  delete sink_type;

  kdPlugin* made = kppAcceptPlugin(new kppPlugin("agg", {{"conf_filename", "/x"}}));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->GetType(), kdPlugin::TYPE_PROCESSOR);
  delete made;
}

TEST(PluginObject, InitialValuesAndIdentity) {
  LogCapture log;
  kppPlugin plugin("agg", {{"conf_filename", "/nonexistent.json"}});
  EXPECT_EQ(plugin.GetAggregator(), 1u);
  EXPECT_EQ(plugin.GetLogInterval(), 60);
  EXPECT_EQ(plugin.GetFlags(), 0u);
  EXPECT_EQ(plugin.GetBatchedRows(), 0u);
  EXPECT_TRUE(plugin.GetCriteria().empty());
  EXPECT_TRUE(plugin.GetChannels().empty());
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
  EXPECT_TRUE(log.Contains("agg: initialized"));

  std::string text = "replaced";
  plugin.GetName(text);
  EXPECT_EQ(text, "Korvia Flow Aggregator Processor Plugin");
  plugin.GetVersion(text);
  EXPECT_EQ(text, "1.2.8");
  plugin.GetLibrary(text);
  EXPECT_EQ(text, "korvia-proc-aggregator");
}

TEST(PluginObject, OnlyEventZeroRequestsAReload) {
  PluginFixture fixture;
  kppPlugin& plugin = fixture.plugin();
  LogCapture log;
  // A request before the thread starts is kept and honoured on the first pass, once.
  plugin.DispatchEvent(kdPlugin::EVENT_RELOAD);
  plugin.Create();
  ASSERT_TRUE(WaitFor([&] { return log.Contains("test: Using aggregator #1"); }));
  std::ofstream(fixture.conf_path()) << json{{"aggregator", 2}}.dump();
  log.Clear();
  for (uint32_t value : {1u, 2u, 255u, 0xFFFFFFFFu})
    plugin.DispatchEvent(static_cast<kdPlugin::Event>(value));
  plugin.DispatchEvent(kdPlugin::EVENT_RELOAD);
  ASSERT_TRUE(WaitFor([&] { return log.Contains("test: Using aggregator #2"); }));
  plugin.Terminate();
  plugin.Join();
  // The other events asked for nothing: the worker reloaded for the one request only.
  EXPECT_EQ(log.Count("Using aggregator"), 1u);
}

TEST(SampleTable, InsertsMergesAndClears) {
  PluginFixture fixture;
  kppPlugin& plugin = fixture.plugin();
  using Result = kppPlugin::InsertResult;
  EXPECT_EQ(plugin.InsertOrMerge(Record(plugin, "a", 1)), Result::kNew);
  EXPECT_EQ(plugin.InsertOrMerge(Record(plugin, "b", 10)), Result::kNew);
  auto second_a = Record(plugin, "a", 2);
  std::weak_ptr<TestRecord> watch = second_a;
  EXPECT_EQ(plugin.InsertOrMerge(std::move(second_a)), Result::kMerged);
  // A merged record is released at once; the table holds the only lasting references.
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(plugin.GetSampleCount(), 2u);

  fixture.Configure(ConfWithSink());
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0]["stats"],
            nlohmann::json::parse(R"([{"count":3,"name":"a"},{"count":10,"name":"b"}])"));
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
  // After a pass a known key starts a new sample.
  EXPECT_EQ(plugin.InsertOrMerge(Record(plugin, "a", 1)), Result::kNew);
}

TEST(SampleTable, RecordOfAnotherTypeIsNeverStoredOrMerged) {
  PluginFixture fixture;
  kppPlugin& plugin = fixture.plugin();
  using Result = kppPlugin::InsertResult;
  auto built_for_one = std::make_shared<TestRecord>("a", 1);
  EXPECT_EQ(plugin.InsertOrMerge(Record(plugin, "a", 1)), Result::kNew);
  LogCapture log;
  fixture.Configure({{"aggregator", 2}});
  EXPECT_TRUE(log.Contains("test: Aggregator changed, clearing samples."));
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
  // Built before the change, delivered after it.
  EXPECT_EQ(plugin.InsertOrMerge(built_for_one), Result::kDropped);
  EXPECT_EQ(plugin.InsertOrMerge(std::make_shared<TestRecord>("a", 2)), Result::kNew);
  EXPECT_EQ(plugin.InsertOrMerge(std::make_shared<TestRecord>("a", 1)), Result::kDropped);
  EXPECT_EQ(plugin.GetSampleCount(), 1u);
}

}  // namespace
