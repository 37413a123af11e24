// The flow pass's shortcut around building a record for a flow whose sample exists: a type's key
// from a flow must equal the key of the record built from it, and a flow merged straight into a
// sample must leave it as += with that record would, for every record type, mode and kind of
// flow. Also the sample table that the lookups go through.
#include <gtest/gtest.h>

#include <random>

#include "kpp_aggregator1.h"
#include "kpp_record_types.h"
#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

const uint32_t kFlowTypes[] = {1, 2, 3, 4, 5, 6, 8};

// Flows that differ in everything a key or a merge reads.
std::vector<std::shared_ptr<kdFlow>> VariedFlows() {
  std::vector<std::shared_ptr<kdFlow>> flows;
  std::mt19937 random(3);
  for (int i = 0; i < 48; ++i) {
    auto flow = MakeFlow();
    flow->endpoint_map = static_cast<uint8_t>(i % 3);
    flow->origin = static_cast<uint8_t>(i % 4);
    if (i % 4 == 1) {
      flow->addr_a = Addr("2001:db8::" + std::to_string(i), 40000);
      flow->addr_b = Addr("fd00::1:" + std::to_string(i), 443);
    }
    if (i % 5 == 2) flow->mac_b = kdAddr();  // a link without MACs
    if (i % 6 == 3) flow->iface.reset();
    flow->vlan_id = static_cast<uint16_t>(i % 7 == 0 ? 0 : 100 + i);
    flow->bytes_a = random();
    flow->bytes_b = random();
    flow->packets_a = i % 8 == 5 ? 0xFFFFFFF0u : random() % 1000;
    flow->packets_b = random() % 1000 + 1;
    flow->digests.clear();
    if (i % 9 != 4) flow->digests = {static_cast<uint64_t>(i % 11), static_cast<uint64_t>(i)};
    flow->detected_application = static_cast<uint32_t>(i % 13);
    flow->detected_application_name = i % 10 == 0 ? "" : "app" + std::to_string(i % 3);
    flow->detected_protocol = static_cast<uint32_t>(i % 5);
    flow->detected_protocol_name = "proto" + std::to_string(i % 2);
    if (i % 2) flow->tags = {"vpn", "guest" + std::to_string(i % 3)};
    flow->host_name = i % 3 ? "h.example" : "";
    if (i % 4 == 0) flow->preferred_host_name = "pref:" + std::to_string(i);
    flows.push_back(flow);
  }
  return flows;
}

json EncodedRow(const kppAggregator& record) {
  json row;
  record.Encode(row, kppRecordSettings());
  return row;
}

TEST(FlowIntake, KeyFromFlowIsTheRecordsKey) {
  const auto flows = VariedFlows();
  for (uint32_t type : kFlowTypes) {
    for (const json& modes :
         {json::object(), json{{"privacy_mode", true}}, json{{"key_by_overlay", true}},
          json{{"key_by_overlay", true}, {"privacy_mode", true}}}) {
      json conf = modes;
      conf["aggregator"] = type;
      PluginFixture fixture(conf);
      const kppRecordType* intake = kppRecordTypeOf(type);
      ASSERT_NE(intake, nullptr) << type;
      std::string key = "left over";
      for (size_t i = 0; i < flows.size(); ++i) {
        auto record = intake->from_flow(fixture.settings(), flows[i]);
        intake->key_from_flow(*flows[i], fixture.settings(), key);
        EXPECT_EQ(key, record->GetKey()) << "type " << type << ", " << modes << ", flow " << i;
      }
    }
  }
}

TEST(FlowIntake, AddFlowEqualsMergingTheRecord) {
  const auto flows = VariedFlows();
  for (uint32_t type : kFlowTypes) {
    const kppRecordType* intake = kppRecordTypeOf(type);
    ASSERT_NE(intake, nullptr) << type;
    const kppRecordSettings settings;
    // Each flow merged into samples first built from a few different flows.
    for (size_t first = 0; first < 4; ++first) {
      auto by_record = intake->from_flow(settings, flows[first]);
      auto by_flow = intake->from_flow(settings, flows[first]);
      for (size_t i = 0; i < flows.size(); ++i) {
        by_record->MergeFrom(*intake->from_flow(settings, flows[i]));
        intake->add_flow(*by_flow, *flows[i]);
        ASSERT_EQ(EncodedRow(*by_flow), EncodedRow(*by_record))
            << "type " << type << ", first " << first << ", flow " << i;
      }
    }
  }
}

// Type 1 keeps all of its text in one string and its key is part of it: a sample built in privacy
// mode still knows its local addresses, for a reload that turns privacy mode off.
TEST(FlowIntake, Type1KeepsItsLocalAddressesInPrivacyMode) {
  kppRecordSettings privacy;
  privacy.privacy = true;
  const kppRecordSettings plain;
  const auto flow = MakeFlow();
  std::string private_key;
  std::string plain_key;
  kppAggregator1::KeyFromFlow(*flow, privacy, private_key);
  kppAggregator1::KeyFromFlow(*flow, plain, plain_key);
  kppAggregator1 record(privacy, flow);
  EXPECT_EQ(record.GetKey(), private_key);
  EXPECT_EQ(record.local_mac, "00:11:22:33:44:55");
  EXPECT_EQ(record.local_ip, "10.0.0.1");
  EXPECT_EQ(record.application_id, "10.example");

  EXPECT_EQ(EncodedRow(record)["local_mac"], "00:11:22:33:44:55");
  record.MakeKey(plain);
  EXPECT_EQ(record.GetKey(), plain_key);
  EXPECT_EQ(record.local_ip, "10.0.0.1");
  EXPECT_EQ(record.application_id, "10.example");
  record.MakeKey(privacy);
  EXPECT_EQ(record.GetKey(), private_key);
  EXPECT_EQ(record.local_mac, "00:11:22:33:44:55");
}

TEST(FlowIntake, EveryTypeEntryIsComplete) {
  for (uint32_t number = 1; number <= 8; ++number) {
    const kppRecordType* type = kppRecordTypeOf(number);
    ASSERT_NE(type, nullptr) << number;
    EXPECT_EQ(type->number, number);
    // Every type is fed by something, and a flow-fed type can take a flow without a record.
    EXPECT_TRUE(type->from_flow || type->from_flow_event || type->from_stats_event) << number;
    EXPECT_EQ(type->from_flow != nullptr, type->key_from_flow != nullptr) << number;
    EXPECT_EQ(type->from_flow != nullptr, type->add_flow != nullptr) << number;
  }
  EXPECT_EQ(kppRecordTypeOf(7)->from_flow, nullptr);
  EXPECT_EQ(kppRecordTypeOf(0), nullptr);
  EXPECT_EQ(kppRecordTypeOf(9), nullptr);
}

TEST(SampleTable, FindsEveryKeyThroughGrowthInArrivalOrder) {
  kppSampleTable table;
  EXPECT_EQ(table.Find(""), nullptr);
  // Keys that are prefixes of one another, the empty key, and enough of them to grow many times.
  std::vector<std::string> keys = {"", "a", "ab", "abc"};
  for (int i = 0; i < 20000; ++i) keys.push_back("key" + std::to_string(i * 7919));
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(table.Find(keys[i]), nullptr) << keys[i];
    table.Insert(std::make_shared<TestRecord>(keys[i], 1));
    ASSERT_NE(table.Find(keys[i]), nullptr);
  }
  ASSERT_EQ(table.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    kppAggregator* found = table.Find(keys[i]);
    ASSERT_NE(found, nullptr) << keys[i];
    EXPECT_EQ(found->GetKey(), keys[i]);
    EXPECT_EQ(table.records()[i]->GetKey(), keys[i]);
  }
  EXPECT_EQ(table.Find("abcd"), nullptr);
  EXPECT_EQ(table.Find("key1"), nullptr);

  kppSampleTable other;
  other.swap(table);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.Find("a"), nullptr);
  EXPECT_NE(other.Find("a"), nullptr);
  other.clear();
  EXPECT_TRUE(other.empty());
  EXPECT_EQ(other.Find("a"), nullptr);
  other.Insert(std::make_shared<TestRecord>("a", 1));
  EXPECT_NE(other.Find("a"), nullptr);
  EXPECT_EQ(other.size(), 1u);
}

}  // namespace
