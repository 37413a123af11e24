// The ledger the stress tests judge by: it must read every record the plugin writes, in every
// form, and must flag payloads that mix record types or hold something that is no record.
#include <gtest/gtest.h>

#include "payload_ledger.h"
#include "plugin_fixture.h"

namespace stress {
namespace {

using nlohmann::json;
using testing_support::ConfWithSink;
using testing_support::MakeFlow;
using testing_support::PluginFixture;

json Envelope(json stats) {
  return {{"log_time_start", 1}, {"log_time_end", 2}, {"stats", std::move(stats)}};
}

json Type1Row(uint64_t upload, uint64_t download, uint64_t packets) {
  return {{"application_id", "10.example"},
          {"download", download},
          {"local_ip", "10.0.0.1"},
          {"local_mac", "00:11:22:33:44:55"},
          {"packets", packets},
          {"protocol_id", 91u},
          {"upload", upload}};
}

json Type8NestedLeaf(uint64_t upload, uint64_t download, uint64_t packets) {
  return {{"download", download}, {"ip_protocol", 6u}, {"ip_version", 4}, {"other_port", 2},
          {"packets", packets},   {"upload", upload},  {"vlan_id", 1}};
}

TEST(PayloadLedger, ReadsEveryFormThePluginWrites) {
  for (uint32_t type : {1u, 2u, 5u, 8u}) {
    for (bool privacy : {false, true}) {
      for (bool nested : {false, true}) {
        SCOPED_TRACE("type " + std::to_string(type) + (privacy ? " private" : "") +
                     (nested ? " nested" : " flat"));
        PluginFixture fixture(ConfWithSink({{"aggregator", type},
                                            {"privacy_mode", privacy},
                                            {"nested", nested},
                                            {"batched_rows", 2}}));
        PayloadLedger ledger("sink", "ch");
        auto first = MakeFlow();
        auto second = MakeFlow();
        second->addr_b = testing_support::Addr("192.0.2.8", 2);
        second->detected_application = 3;
        second->bytes_a = 7;
        second->packets_b = 1;
        auto third = MakeFlow();
        third->mac_a = testing_support::Addr("00:11:22:33:44:66");
        fixture.Deliver({first, second, third});
        Traffic expected;
        for (const auto& flow : {first, second, third}) expected += FlowTraffic(*flow);
        if (type == 5) {
          std::string iface;
          TrafficSource source(1);
          kdPacketStats stats = source.Stats(iface, expected);
          fixture.plugin().DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP, iface, &stats);
        }
        fixture.plugin().ProcessStatsPayload();

        EXPECT_TRUE(ledger.Faults().empty()) << ledger.Faults().front();
        EXPECT_EQ(Describe(ledger.Dispatched(type)), Describe(expected));
        EXPECT_EQ(ledger.NestedPayloads() > 0, nested);
      }
    }
  }
}

TEST(PayloadLedger, SumsNestedArraysAcrossPadding) {
  PayloadLedger ledger("sink", "ch");
  json tree = json::array();
  tree[1]["00:11:22:33:44:55"]["10.0.0.1"]["192.0.2.7"][2][3][1] = Type8NestedLeaf(5, 6, 7);
  tree[1]["00:11:22:33:44:55"]["10.0.0.1"]["192.0.2.7"][2][0][0] = Type8NestedLeaf(1, 1, 1);
  ledger.Account(Envelope(tree));
  EXPECT_TRUE(ledger.Faults().empty());
  EXPECT_EQ(ledger.Dispatched(8).bytes, 13u);
  EXPECT_EQ(ledger.Dispatched(8).packets, 8u);
  EXPECT_EQ(ledger.NestedPayloads(), 1u);
}

TEST(PayloadLedger, FlagsPayloadsThatAreNotOneTypeOfRecords) {
  json type2_row = {{"application_id", "10.example"},
                    {"flow_count", 1u},
                    {"ip_protocol", 6},
                    {"local_bytes", 1u},
                    {"local_ip", "10.0.0.1"},
                    {"local_mac", "m"},
                    {"other_bytes", 2u},
                    {"other_ip", "192.0.2.7"},
                    {"packets", 3u},
                    {"protocol_id", 91}};
  json private_row = Type1Row(1, 2, 3);
  private_row.erase("local_ip");
  private_row.erase("local_mac");
  json unknown_row = Type1Row(1, 2, 3);
  unknown_row["extra"] = 1;
  json signed_row = Type1Row(1, 2, 3);
  signed_row["upload"] = -1;

  struct Case {
    const char* what;
    json payload;
    const char* fault;
  };
  const Case cases[] = {
      {"two types", Envelope({Type1Row(1, 2, 3), type2_row}), "mixes type 1 flat and type 2"},
      {"two layouts", Envelope({Type1Row(1, 2, 3), private_row}), "mixes"},
      {"unknown member", Envelope({unknown_row}), "no known layout"},
      {"signed counter", Envelope({signed_row}), "no known layout"},
      {"scalar in the tree", Envelope({{"a", 5}}), "unexpected number"},
      {"no records", Envelope(json::array()), "no records"},
      {"no envelope", json{{"stats", {Type1Row(1, 2, 3)}}}, "not an envelope"},
  };
  for (const Case& c : cases) {
    PayloadLedger ledger("sink", "ch");
    ledger.Account(c.payload);
    ASSERT_EQ(ledger.Faults().size(), 1u) << c.what;
    EXPECT_NE(ledger.Faults()[0].find(c.fault), std::string::npos)
        << c.what << ": " << ledger.Faults()[0];
  }
}

}  // namespace
}  // namespace stress
