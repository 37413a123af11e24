// Keys keep apart what differs: flows whose key parts would read the same if run together (or
// split at a separator inside a part) are separate samples, each reported as it is alone.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "kpp_record_key.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

struct LookAlikes {
  const char* name;
  json conf;
  void (*first)(kdFlow&);
  void (*second)(kdFlow&);
};

void PrintTo(const LookAlikes& c, std::ostream* out) {
  *out << c.name;
}

class RecordKeys : public testing::TestWithParam<LookAlikes> {};

TEST_P(RecordKeys, LookAlikesAreSeparateSamples) {
  const LookAlikes& c = GetParam();
  const auto first = FlowWith(c.first);
  const auto second = FlowWith(c.second);
  const json both = StatsFor(c.conf, {first, second});
  ASSERT_EQ(both.size(), 2u) << both;
  EXPECT_EQ(both[0], StatsFor(c.conf, {first})[0]);
  EXPECT_EQ(both[1], StatsFor(c.conf, {second})[0]);
}

const LookAlikes kLookAlikes[] = {
    {"type1_host_and_application",
     {{"aggregator", 1}},
     [](kdFlow& f) {
       f.addr_a = Addr("10.0.0.1", 1);
       f.detected_application_name = "";
     },
     [](kdFlow& f) {
       f.addr_a = Addr("10.0.0.11", 1);
       f.detected_application = 0;
       f.detected_application_name = "";
     }},
    {"type2_label_and_protocol",
     {{"aggregator", 2}},
     [](kdFlow& f) {
       f.detected_application_name = "ab";
       f.detected_protocol = 12;
     },
     [](kdFlow& f) {
       f.detected_application_name = "ab1";
       f.detected_protocol = 2;
     }},
    {"type3_label_and_protocol_name",
     {{"aggregator", 3}, {"privacy_mode", true}},
     [](kdFlow& f) {
       f.detected_application_name = "ex";
       f.detected_protocol_name = "ampleTLS";
     },
     [](kdFlow&) {}},
    {"type4_port_and_application",
     {{"aggregator", 4}},
     [](kdFlow&) {},
     [](kdFlow& f) {
       f.addr_b = Addr("192.0.2.7", 4431);
       f.detected_application = 0;
     }},
    {"type6_tag_sets",
     {{"aggregator", 6}, {"privacy_mode", true}, {"key_by_overlay", true}},
     [](kdFlow& f) {
       f.tags = {"guest", "vpn"};
     },
     [](kdFlow& f) { f.tags = {"guestvpn"}; }},
    {"type8_colon_in_host_name",
     {{"aggregator", 8}, {"privacy_mode", true}},
     [](kdFlow& f) {
       f.addr_b = Addr("2001:db8::7", 443);
       f.host_name = "5:www";
     },
     [](kdFlow& f) {
       f.addr_b = Addr("2001:db8::7:443", 10);
       f.detected_application = 91;
       f.detected_protocol = 5;
       f.host_name = "www";
     }},
};

std::string CaseName(const testing::TestParamInfo<LookAlikes>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(AllTypes, RecordKeys, testing::ValuesIn(kLookAlikes), CaseName);

// Any two different lists of parts make different keys, also where a part's text looks like a
// length and where lengths take more than one byte.
TEST(RecordKeys, DifferentPartListsNeverShareAKey) {
  const std::string long127(127, 'x');
  const std::string long128(128, 'x');
  const std::vector<std::string> texts = {
      "",      "\x01",  "\x81",           "\x01\x81",          "x",
      long127, long128, long128 + "\x01", long127 + "\x80\x01"};
  std::map<std::string, std::vector<std::string>> seen;
  auto check = [&](const std::vector<std::string>& parts) {
    std::string key;
    for (const std::string& part : parts) kppAppendKeyPart(key, part);
    auto placed = seen.emplace(key, parts);
    EXPECT_TRUE(placed.second || placed.first->second == parts) << parts.size() << " parts";
  };
  for (const std::string& a : texts) {
    check({a});
    for (const std::string& b : texts) {
      check({a, b});
      for (const std::string& c : texts) check({a, b, c});
    }
  }
}

}  // namespace
