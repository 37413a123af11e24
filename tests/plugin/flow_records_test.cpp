// What the per-peer and per-port record types (2, 3, 4, 6, 8) have in common: side selection,
// merging, and flows that carry no digest.
#include <gtest/gtest.h>

#include "record_stats.h"

namespace {

using namespace testing_support;

struct TypeNames {
  uint32_t type;
  const char* local_bytes;  // member holding the local endpoint's bytes
  const char* other_bytes;
  bool has_port;     // reports "other_port"
  bool has_version;  // reports "ip_version" (a member outside the key)
};

const TypeNames kTypes[] = {
    {2, "local_bytes", "other_bytes", false, false}, {3, "local_bytes", "other_bytes", true, true},
    {4, "upload", "download", true, true},           {6, "local_bytes", "other_bytes", true, true},
    {8, "upload", "download", true, true},
};

TEST(FlowRecords, OnlyEndpointMapOneMakesEndpointALocal) {
  for (const TypeNames& t : kTypes) {
    for (uint8_t map : {0, 1, 2}) {
      SCOPED_TRACE(testing::Message() << "type " << t.type << ", endpoint_map " << int{map});
      const bool a_local = map == 1;
      json stats =
          StatsFor({{"aggregator", t.type}}, {FlowWith([&](kdFlow& f) { f.endpoint_map = map; })});
      ASSERT_EQ(stats.size(), 1u);
      const json& row = stats[0];
      EXPECT_EQ(row["local_mac"], a_local ? "00:11:22:33:44:55" : "66:77:88:99:aa:bb");
      EXPECT_EQ(row["local_ip"], a_local ? "10.0.0.1" : "192.0.2.7");
      EXPECT_EQ(row["other_ip"], a_local ? "192.0.2.7" : "10.0.0.1");
      EXPECT_EQ(row[t.local_bytes], a_local ? 1000 : 5000);
      EXPECT_EQ(row[t.other_bytes], a_local ? 5000 : 1000);
      if (t.has_port) {
        EXPECT_EQ(row["other_port"], a_local ? 443 : 50000);
      }
      if (t.type == 6) {
        EXPECT_EQ(row["local_packets"], a_local ? 10 : 5);
        EXPECT_EQ(row["other_packets"], a_local ? 5 : 10);
      }
    }
  }
}

TEST(FlowRecords, MergeSumsWrapsPacketsUnitesDigestsAndKeepsFirstDimensions) {
  // The first total wraps in the constructor (2^32 + 1), the merged one in the merge.
  auto first = FlowWith([](kdFlow& f) {
    f.packets_a = 0xFFFFFFFF;
    f.packets_b = 2;
    f.digests = {1};
  });
  auto second = FlowWith([](kdFlow& f) {
    f.packets_a = 0xFFFFFFF0;
    f.packets_b = 0x0E;
    f.digests = {9, 2};
    f.ip_version = 6;
  });
  auto third = FlowWith([](kdFlow& f) { f.digests = {1}; });
  for (const TypeNames& t : kTypes) {
    SCOPED_TRACE(testing::Message() << "type " << t.type);
    json stats = StatsFor({{"aggregator", t.type}}, {first, second, third});
    ASSERT_EQ(stats.size(), 1u);
    const json& row = stats[0];
    EXPECT_EQ(row[t.local_bytes], 3000);
    EXPECT_EQ(row[t.other_bytes], 15000);
    if (t.type == 6) {
      EXPECT_EQ(row["local_packets"], 0xFFFFFFF9);  // 0xFFFFFFFF + 0xFFFFFFF0 + 10
      EXPECT_EQ(row["other_packets"], 2 + 0x0E + 5);
    } else {
      EXPECT_EQ(row["packets"], 14);  // 1 + 0xFFFFFFFE + 15
    }
    if (t.has_version) {
      EXPECT_EQ(row["ip_version"], 4);
    }
    if (t.type == 2) {
      EXPECT_EQ(row["flow_count"], 2);
    }
    if (t.type == 3 || t.type == 6) {
      EXPECT_EQ(row["digests"], json({"0000000000000001", "0000000000000002"}));
    }
  }
}

TEST(FlowRecords, FlowsWithoutDigestsAreAggregatedWithoutOne) {
  auto bare = FlowWith([](kdFlow& f) { f.digests.clear(); });
  auto with_digest = FlowWith([](kdFlow& f) { f.digests = {7}; });
  for (const TypeNames& t : kTypes) {
    SCOPED_TRACE(testing::Message() << "type " << t.type);
    json alone = StatsFor({{"aggregator", t.type}}, {bare});
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0][t.local_bytes], 1000);
    json merged = StatsFor({{"aggregator", t.type}}, {bare, with_digest});
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0][t.local_bytes], 2000);
    if (t.type == 2) {
      EXPECT_EQ(alone[0]["flow_count"], 0);
      EXPECT_EQ(merged[0]["flow_count"], 1);
    }
    if (t.type == 3 || t.type == 6) {
      EXPECT_EQ(alone[0]["digests"], json::array());
      EXPECT_EQ(merged[0]["digests"], json({"0000000000000007"}));
    }
  }
}

}  // namespace
