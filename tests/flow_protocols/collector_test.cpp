// The v5, v9 and IPFIX collector: templates and the data that waits for them, fields, sampling,
// sequence numbers, and bad input counted case by case.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "flow_messages.h"
#include "kd_ipfix_elements.h"

namespace {

using namespace flow_testing;

// A small flow template: addresses, protocol, counters.
const std::vector<kdTemplateField> kFlowFields = {
    {kd_ie::kSourceIpv4Address, 4, 0},  {kd_ie::kDestinationIpv4Address, 4, 0},
    {kd_ie::kProtocolIdentifier, 1, 0}, {kd_ie::kOctetDeltaCount, 4, 0},
    {kd_ie::kPacketDeltaCount, 4, 0},
};

Bytes FlowData(uint8_t last_octet, uint32_t octets, uint32_t packets) {
  return Cat({Bytes{10, 0, 0, last_octet, 10, 0, 0, 99, 17}, Be(octets, 4), Be(packets, 4)});
}

Bytes FlowTemplate(uint16_t id = 300, bool ipfix = true) {
  return Set(ipfix ? 2 : 0, Template(id, kFlowFields, ipfix));
}

TEST(CollectorTemplates, DataBeforeItsTemplateWaitsThenDecodes) {
  Collected c;
  c.Feed(Ipfix(0, 1, {Set(300, FlowData(1, 100, 2))}));
  EXPECT_TRUE(c.records.empty());
  EXPECT_GT(c.collector.pending_bytes(), 0u);
  c.Feed(Ipfix(1, 1, {FlowTemplate()}));
  ASSERT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.records[0].octets, 100u);
  EXPECT_EQ(c.collector.pending_bytes(), 0u);
  auto counters = c.Counters();
  EXPECT_EQ(counters.pending_sets, 1u);
  EXPECT_EQ(counters.pending_decoded, 1u);
  // The held set's record count was unknown, so no gap is claimed on its account.
  EXPECT_EQ(counters.lost_records, 0u);
}

TEST(CollectorTemplates, HeldDataIsDroppedWhenTooOldOrOverTheBudget) {
  kdFlowCollectorLimits limits;
  limits.pending_max_age_ms = 5000;
  limits.max_pending_bytes = 40;  // two 17-byte sets
  Collected c(limits);
  c.Feed(Ipfix(0, 1, {Set(300, FlowData(1, 1, 1))}), 1000);
  c.Feed(Ipfix(0, 1, {Set(300, FlowData(2, 1, 1))}), 1000);
  c.Feed(Ipfix(0, 1, {Set(301, FlowData(3, 1, 1))}), 2000);  // pushes out the oldest
  EXPECT_EQ(c.Counters().pending_dropped, 1u);
  c.collector.Expire(6500);  // the 1000 one is past its age, the 2000 one not yet
  EXPECT_EQ(c.Counters().pending_dropped, 1u);
  c.Feed(Ipfix(0, 1, {FlowTemplate(301)}), 6600);
  ASSERT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.records[0].src_addr[3], 3);
}

TEST(CollectorTemplates, TemplatesAreKeptPerExporterAndDomainAndCanBeWithdrawn) {
  Collected c;
  c.Feed(Ipfix(0, 1, {FlowTemplate(), Set(300, FlowData(1, 1, 1))}));
  c.Feed(Ipfix(0, 2, {Set(300, FlowData(2, 1, 1))}));  // other domain: no template
  c.Feed(Ipfix(1, 1, {Set(300, FlowData(3, 1, 1))}), 1000, kdFlowExporter::Ipv4(0x0A000001));
  EXPECT_EQ(c.records.size(), 1u);

  c.Feed(Ipfix(1, 1, {Set(2, Template(300, {}))}));  // withdrawal: no fields
  c.Feed(Ipfix(1, 1, {Set(300, FlowData(4, 1, 1))}));
  EXPECT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.collector.template_count(), 0u);

  // Withdrawing the set's own ID withdraws every template of that kind.
  c.Feed(Ipfix(2, 1, {Set(2, Cat({Template(300, kFlowFields), Template(301, kFlowFields)}))}));
  EXPECT_EQ(c.collector.template_count(), 2u);
  c.Feed(Ipfix(2, 1, {Set(2, Template(2, {}))}));
  EXPECT_EQ(c.collector.template_count(), 0u);
  EXPECT_EQ(c.Counters().templates_withdrawn, 3u);
}

TEST(CollectorFields, VariableLengthEnterpriseAndReverseFields) {
  std::vector<kdTemplateField> fields = {
      {kd_ie::kSourceIpv4Address, 4, 0},
      {1, 0xFFFF, 12345},  // enterprise, variable length: skipped
      {kd_ie::kDestinationIpv4Address, 4, 0},
      {kd_ie::kOctetDeltaCount, 2, 0},  // reduced size
      {kd_ie::kPacketDeltaCount, 8, 0},
      {kd_ie::kOctetDeltaCount, 8, kd_ie::kReversePen},
      {kd_ie::kPacketDeltaCount, 4, kd_ie::kReversePen},
      {kd_ie::kFlowStartSeconds, 4, 0},
      {kd_ie::kFlowEndMilliseconds, 8, 0},
  };
  Bytes long_value(300, 0xAB);  // long enough for the three-byte length form
  Bytes record =
      Cat({Bytes{10, 0, 0, 1}, Bytes{255}, Be(300, 2), long_value, Bytes{10, 0, 0, 2}, Be(1500, 2),
           Be(3, 8), Be(64000, 8), Be(50, 4), Be(1700000000, 4), Be(1700000001234, 8)});
  Bytes short_record = Cat({Bytes{10, 0, 0, 3}, Bytes{0}, Bytes{10, 0, 0, 4}, Be(1, 2), Be(1, 8),
                            Be(0, 8), Be(0, 4), Be(0, 4), Be(0, 8)});
  Collected c;
  c.Feed(Ipfix(0, 1, {Set(2, Template(400, fields)), Set(400, Cat({record, short_record}))}));
  ASSERT_EQ(c.records.size(), 2u);
  const kdFlowRecord& r = c.records[0];
  EXPECT_EQ(r.dst_addr[3], 2);
  EXPECT_EQ(r.octets, 1500u);
  EXPECT_EQ(r.packets, 3u);
  EXPECT_TRUE(r.biflow);
  EXPECT_EQ(r.reverse_octets, 64000u);
  EXPECT_EQ(r.reverse_packets, 50u);
  EXPECT_EQ(r.first_ms, 1700000000000u);
  EXPECT_EQ(r.last_ms, 1700000001234u);
  EXPECT_EQ(c.records[1].dst_addr[3], 4);
}

TEST(CollectorFields, Netflow9UptimesBecomeUnixTime) {
  std::vector<kdTemplateField> fields = kFlowFields;
  fields.push_back({kd_ie::kFlowStartSysUpTime, 4, 0});
  fields.push_back({kd_ie::kFlowEndSysUpTime, 4, 0});
  Collected c;
  // Header: uptime 100000 ms at kExportSeconds; the flow ran from uptime 40000 to 99000.
  c.Feed(V9(0, 5,
            {Set(0, Template(260, fields, false)),
             Set(260, Cat({FlowData(1, 10, 1), Be(40000, 4), Be(99000, 4)}))}));
  ASSERT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.records[0].first_ms, kExportSeconds * 1000ull - 60000);
  EXPECT_EQ(c.records[0].last_ms, kExportSeconds * 1000ull - 1000);
  EXPECT_EQ(c.records[0].observation_domain, 5u);
}

TEST(CollectorSampling, OptionsDataSetsTheRateInForce) {
  Collected c;
  // v9: an options template scoped to the system announces samplingInterval 100.
  c.Feed(V9(0, 1,
            {Set(1, Template(257, {{1, 4, 0}, {kd_ie::kSamplingInterval, 4, 0}}, false, 1)),
             Set(257, Cat({Be(0, 4), Be(100, 4)})), FlowTemplate(300, false),
             Set(300, FlowData(1, 1000, 2))}));
  ASSERT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.records[0].sampling_rate, 100u);
  EXPECT_EQ(c.records[0].octets, 100000u);
  EXPECT_EQ(c.records[0].packets, 200u);
  EXPECT_EQ(c.collector.SamplingRate(kExporter, 9, 1), 100u);

  // IPFIX: a sampler table keyed by selectorId (1 of 1+9 packets), named by each record.
  std::vector<kdTemplateField> flow = kFlowFields;
  flow.push_back({kd_ie::kSelectorId, 2, 0});
  c.Feed(Ipfix(0, 1,
               {Set(3, Template(258,
                                {{kd_ie::kSelectorId, 2, 0},
                                 {kd_ie::kSamplingPacketInterval, 4, 0},
                                 {kd_ie::kSamplingPacketSpace, 4, 0}},
                                true, 1)),
                Set(258, Cat({Be(7, 2), Be(1, 4), Be(9, 4)})), Set(2, Template(301, flow)),
                Set(301, Cat({FlowData(2, 50, 1), Be(7, 2), FlowData(3, 50, 1), Be(8, 2)}))}));
  ASSERT_EQ(c.records.size(), 3u);
  EXPECT_EQ(c.records[1].sampling_rate, 10u);
  EXPECT_EQ(c.records[1].octets, 500u);
  EXPECT_EQ(c.records[2].sampling_rate, 1u);  // an unknown sampler: unscaled, and says so
  EXPECT_EQ(c.Counters().options_records, 2u);
}

TEST(CollectorSampling, Netflow5HeaderInterval) {
  Collected c;
  Bytes record(48, 0);
  record[19] = 5;    // dPkts
  record[23] = 200;  // dOctets
  c.Feed(Cat({Be(5, 2), Be(1, 2), Be(0, 4), Be(kExportSeconds, 4), Be(0, 4), Be(0, 4), Bytes{0, 0},
              Be(0x4000 | 64, 2), record}));
  ASSERT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.records[0].sampling_rate, 64u);
  EXPECT_EQ(c.records[0].packets, 5u * 64);
  EXPECT_EQ(c.records[0].octets, 200u * 64);
}

TEST(CollectorSequence, GapsAreCountedInTheProtocolsUnits) {
  Collected c;
  c.Feed(Ipfix(10, 1, {FlowTemplate(), Set(300, Cat({FlowData(1, 1, 1), FlowData(2, 1, 1)}))}));
  c.Feed(Ipfix(12, 1, {Set(300, FlowData(3, 1, 1))}));  // follows on
  c.Feed(Ipfix(20, 1, {Set(300, FlowData(4, 1, 1))}));  // 7 records lost
  c.Feed(Ipfix(5, 1, {Set(300, FlowData(5, 1, 1))}));   // a restart
  c.Feed(V9(100, 1, {}));
  c.Feed(V9(103, 1, {}));  // two datagrams lost
  auto counters = c.Counters();
  EXPECT_EQ(counters.lost_records, 7u);
  EXPECT_EQ(counters.lost_datagrams, 2u);
  EXPECT_EQ(counters.out_of_order, 1u);
  EXPECT_EQ(c.records.size(), 5u);
}

// Each bad datagram is counted where it belongs, and the collector goes on decoding.
struct BadCase {
  std::string name;
  std::function<Bytes()> datagram;
  uint64_t kdFlowDecodeCounters::*counter;
};

class CollectorBadInput : public testing::TestWithParam<BadCase> {};

TEST_P(CollectorBadInput, IsCountedAndHarmless) {
  Collected c;
  c.Feed(GetParam().datagram());
  EXPECT_EQ(c.Counters().*GetParam().counter, 1u);
  size_t before = c.records.size();
  c.Feed(Ipfix(0, 1, {FlowTemplate(), Set(300, FlowData(1, 1, 1))}));
  EXPECT_EQ(c.records.size(), before + 1);
}

std::vector<kdTemplateField> ManyFields(size_t n) {
  return std::vector<kdTemplateField>(n, kdTemplateField{kd_ie::kProtocolIdentifier, 1, 0});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CollectorBadInput,
    testing::Values(BadCase{"UnknownVersion",
                            [] {
                              return Cat({Be(7, 2), Bytes(30, 0)});
                            },
                            &kdFlowDecodeCounters::unknown_version},
                    BadCase{"OneByte", [] { return Bytes{0}; }, &kdFlowDecodeCounters::malformed},
                    BadCase{"IpfixLengthPastTheEnd",
                            [] {
                              Bytes d = Ipfix(0, 1, {});
                              d[3] = 200;
                              return d;
                            },
                            &kdFlowDecodeCounters::malformed},
                    BadCase{"SetLengthPastTheEnd",
                            [] {
                              return Ipfix(0, 1, {Cat({Be(300, 2), Be(400, 2)})});
                            },
                            &kdFlowDecodeCounters::malformed},
                    BadCase{"V5CountOverThirty",
                            [] {
                              return Cat({Be(5, 2), Be(31, 2), Bytes(20, 0)});
                            },
                            &kdFlowDecodeCounters::malformed},
                    BadCase{"V5RecordsCutShort",
                            [] {
                              return Cat({Be(5, 2), Be(2, 2), Bytes(20, 0), Bytes(60, 0)});
                            },
                            &kdFlowDecodeCounters::truncated_records},
                    BadCase{"TemplateOfZeroLengthRecords",
                            [] {
                              return Ipfix(0, 1, {Set(2, Template(300, {{4, 0, 0}}))});
                            },
                            &kdFlowDecodeCounters::bad_templates},
                    BadCase{"TemplateWithTooManyFields",
                            [] { return Ipfix(0, 1, {Set(2, Template(300, ManyFields(1000)))}); },
                            &kdFlowDecodeCounters::bad_templates},
                    BadCase{"TemplateIdBelow256",
                            [] { return Ipfix(0, 1, {Set(2, Template(7, kFlowFields))}); },
                            &kdFlowDecodeCounters::bad_templates},
                    BadCase{"FieldCountPastTheSet",
                            [] {
                              return Ipfix(0, 1, {Set(2, Cat({Be(300, 2), Be(50, 2), Be(8, 2)}))});
                            },
                            &kdFlowDecodeCounters::malformed},
                    BadCase{"VariableLengthRunsPastTheSet",
                            [] {
                              return Ipfix(0, 1,
                                           {Set(2, Template(301, {{82, 0xFFFF, 0}})),
                                            Set(301, Bytes{200, 1, 2})});
                            },
                            &kdFlowDecodeCounters::truncated_records}),
    [](const auto& test) { return test.param.name; });

TEST(CollectorLimits, FloodsStayWithinTheCaps) {
  kdFlowCollectorLimits limits;
  limits.max_exporters = 4;
  limits.max_templates_per_exporter = 10;
  limits.max_domains_per_exporter = 3;
  Collected c(limits);
  for (uint16_t id = 256; id < 356; ++id) c.Feed(Ipfix(0, 1, {FlowTemplate(id)}));
  EXPECT_EQ(c.collector.template_count(), 10u);
  EXPECT_EQ(c.Counters().templates_refused, 90u);
  c.Feed(Ipfix(0, 1, {FlowTemplate(256)}));  // redefining a known one is no growth
  EXPECT_EQ(c.Counters().templates, 1u);

  for (uint32_t domain = 2; domain < 10; ++domain) c.Feed(Ipfix(0, domain, {}));
  EXPECT_EQ(c.Counters().domains_refused, 6u);

  for (uint32_t host = 1; host <= 10; ++host) {
    c.Feed(Ipfix(0, 1, {}), 1000, kdFlowExporter::Ipv4(0x0A000000 + host));
  }
  EXPECT_EQ(c.collector.exporter_count(), 4u);
  EXPECT_EQ(c.collector.TakeRefusedDatagrams(), 7u);

  // Exporters that fall silent are forgotten with their templates.
  c.collector.Expire(1000 + limits.exporter_idle_ms + 1);
  EXPECT_EQ(c.collector.exporter_count(), 0u);
  EXPECT_EQ(c.collector.template_count(), 0u);
}

}  // namespace
