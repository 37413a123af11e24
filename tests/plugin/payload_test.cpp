// The payload pass: envelopes, batching, nested trees, bare type 7 payloads and channel dispatch.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "kpp_nested_path.h"
#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

void AddSamples(kppPlugin& plugin, int count) {
  for (int i = 0; i < count; ++i) plugin.InsertOrMerge(Record(plugin, "s" + std::to_string(i)));
}

std::vector<size_t> RowsPerPayload(const std::vector<json>& payloads) {
  std::vector<size_t> rows;
  for (const json& payload : payloads) rows.push_back(payload["stats"].size());
  return rows;
}

TEST(PayloadPass, FlatBatches) {
  struct Case {
    uint32_t batched_rows;
    int samples;
    std::vector<size_t> rows;
  };
  const Case cases[] = {{2, 5, {2, 2, 1}}, {5, 5, {5}}, {0, 5, {5}}, {1, 2, {1, 1}}};
  for (const Case& c : cases) {
    PluginFixture fixture(ConfWithSink({{"batched_rows", c.batched_rows}}));
    AddSamples(fixture.plugin(), c.samples);
    auto payloads = fixture.Payloads();
    EXPECT_EQ(RowsPerPayload(payloads), c.rows) << c.batched_rows;
    for (const json& payload : payloads) {
      ASSERT_EQ(payload.size(), 3u);
      EXPECT_TRUE(payload["log_time_start"].is_number_integer());
      EXPECT_EQ(payload["log_time_start"], payloads[0]["log_time_start"]);
      EXPECT_EQ(payload["log_time_end"], payloads[0]["log_time_end"]);
      EXPECT_TRUE(payload["stats"].is_array());
    }
    EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
  }
}

TEST(PayloadPass, NestedModeIgnoresBatching) {
  PluginFixture fixture(ConfWithSink({{"batched_rows", 3}, {"nested", true}}));
  AddSamples(fixture.plugin(), 10);
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_TRUE(payloads[0]["stats"].is_object());
  EXPECT_EQ(payloads[0]["stats"].size(), 10u);
}

TEST(PayloadPass, TypeSevenSamplesAreSentBare) {
  PluginFixture fixture(ConfWithSink({{"aggregator", 7}, {"batched_rows", 2}}));
  AddSamples(fixture.plugin(), 3);
  auto payloads = fixture.Payloads();
  ASSERT_EQ(payloads.size(), 3u);
  for (const json& payload : payloads) {
    EXPECT_EQ(payload.count("stats"), 0u);
    EXPECT_EQ(payload["count"], 1);
  }
}

TEST(PayloadPass, EmptyTableSendsNothing) {
  PluginFixture fixture(ConfWithSink());
  LogCapture log;
  EXPECT_TRUE(fixture.Payloads().empty());
  EXPECT_FALSE(log.Contains("aggregated"));
  AddSamples(fixture.plugin(), 2);
  EXPECT_EQ(fixture.Payloads().size(), 1u);
  EXPECT_TRUE(log.Contains("test: aggregated 2 flow stats record(s)."));
}

TEST(PayloadPass, WindowRunsFromThePreviousPass) {
  PluginFixture fixture(ConfWithSink());
  AddSamples(fixture.plugin(), 1);
  auto first = fixture.Payloads();
  AddSamples(fixture.plugin(), 1);
  auto second = fixture.Payloads();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_GE(second[0]["log_time_start"].get<int64_t>(), first[0]["log_time_end"].get<int64_t>());
  EXPECT_GE(second[0]["log_time_end"].get<int64_t>(), second[0]["log_time_start"].get<int64_t>());
}

TEST(PayloadPass, FailedPassStillClosesItsWindow) {
  PluginFixture fixture(ConfWithSink({{"batched_rows", 1}}));
  kppPlugin& plugin = fixture.plugin();
  AddSamples(plugin, 2);
  plugin.InsertOrMerge(std::make_shared<UnencodableRecord>("bad", 1));
  std::vector<json> sent;
  {
    LogCapture log;
    SinkCapture sink;
    EXPECT_THROW(plugin.ProcessStatsPayload(), std::runtime_error);
    for (const auto& dispatch : sink.Dispatches()) sent.push_back(dispatch.payload);
    EXPECT_TRUE(log.Contains("test: payload pass failed: " + std::to_string(3 - sent.size()) +
                             " of 3 sample(s) dropped"));
  }
  EXPECT_EQ(plugin.GetSampleCount(), 0u);

  // The next window starts after the failed one, not where the failed one started (0 here).
  AddSamples(plugin, 1);
  auto next = fixture.Payloads();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_GT(next[0]["log_time_start"].get<int64_t>(), 0);
  for (const json& payload : sent)
    EXPECT_GE(next[0]["log_time_start"].get<int64_t>(), payload["log_time_end"].get<int64_t>());
}

TEST(PayloadPass, ChannelsInNameOrderWithTheirFlags) {
  PluginFixture fixture(json{{"sinks",
                              {{"zeta", {{"only", json::object()}}},
                               {"alpha",
                                {{"b", {{"format", "msgpack"}, {"compressor", "gz"}}},
                                 {"a", json::object()},
                                 {"c", {{"format", "object"}}}}}}}});
  AddSamples(fixture.plugin(), 1);
  SinkCapture sink;
  fixture.plugin().ProcessStatsPayload();
  auto dispatches = sink.Dispatches();
  ASSERT_EQ(dispatches.size(), 4u);
  const std::pair<std::string, uint32_t> expected[] = {
      {"alpha/a", 0x01}, {"alpha/b", 0x24}, {"alpha/c", 0x02}, {"zeta/only", 0x01}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(dispatches[i].sink + "/" + dispatches[i].channel, expected[i].first);
    EXPECT_EQ(dispatches[i].flags, expected[i].second);
    EXPECT_EQ(dispatches[i].payload, dispatches[0].payload);
  }
}

TEST(PayloadPass, FailingSinkDoesNotStopTheOthers) {
  PluginFixture fixture(json{{"sinks", {{"s", {{"a", json::object()}, {"b", json::object()}}}}},
                             {"batched_rows", 1}});
  AddSamples(fixture.plugin(), 2);
  LogCapture log;
  SinkCapture sink;
  sink.SetFailing(true);
  fixture.plugin().ProcessStatsPayload();
  EXPECT_EQ(log.Count("test: dispatch to s/a failed: sink refused the payload"), 2u);
  EXPECT_EQ(log.Count("test: dispatch to s/b failed: sink refused the payload"), 2u);
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
}

TEST(PayloadPass, WithoutChannelsSamplesAreStillDropped) {
  PluginFixture fixture;
  AddSamples(fixture.plugin(), 3);
  EXPECT_TRUE(fixture.Payloads().empty());
  EXPECT_EQ(fixture.plugin().GetSampleCount(), 0u);
}

// Nested samples are placed in the order of their paths' order keys, which must be the order in
// which the tree lists its places: names as bytes ("10" before "9", a zero byte inside a name),
// positions by number. Paths walked in any order and leaves read back in the tree's order must
// come out as the keys sort.
TEST(NestedOrder, KeysSortAsTheTreeListsItsPlaces) {
  const std::string with_zero("a\0", 2), zero_inside("a\0b", 3), low("a\x01", 2);
  using namespace std::string_view_literals;
  const std::vector<kppNestedPath> paths = {{"b"sv, kppNestedLevel::Number(9)},
                                            {"b"sv, kppNestedLevel::Number(10)},
                                            {"b"sv, kppNestedLevel::Number(100)},
                                            {"a"sv, "z"sv},
                                            {"a"sv, "ab"sv},
                                            {"a"sv, "a"sv},
                                            {"a"sv, with_zero},
                                            {"a"sv, low},
                                            {zero_inside, "x"sv},
                                            {"ab"sv, "x"sv},
                                            {"p"sv, kppNestedLevel::At(10)},
                                            {"p"sv, kppNestedLevel::At(2)},
                                            {"p"sv, kppNestedLevel::At(256)}};
  std::vector<std::string> keys;
  nlohmann::json tree;
  for (size_t i = paths.size(); i-- > 0;) {
    ASSERT_TRUE(paths[i].Walk(tree).is_null()) << i;
    paths[i].Walk(tree) = i;
  }
  for (const kppNestedPath& path : paths) path.AppendOrderKey(keys.emplace_back());
  std::vector<size_t> by_key(paths.size());
  for (size_t i = 0; i < by_key.size(); ++i) by_key[i] = i;
  std::sort(by_key.begin(), by_key.end(),
            [&keys](size_t a, size_t b) { return keys[a] < keys[b]; });

  std::vector<size_t> listed;
  std::function<void(const nlohmann::json&)> read = [&](const nlohmann::json& node) {
    if (node.is_number()) listed.push_back(node.get<size_t>());
    if (node.is_structured())
      for (const auto& child : node) read(child);
  };
  read(tree);
  EXPECT_EQ(listed, by_key);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
}

}  // namespace
