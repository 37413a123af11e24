// The forms of each flow record type for one flow: flat rows with and without the local addresses,
// and the nested tree, with and without them. Members every form holds are the leaf; flat rows add
// the dimensions, and the local MAC and IP outside privacy mode.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "kpp_record_types.h"
#include "record_stats.h"

namespace {

using namespace testing_support;

struct Forms {
  const char* name;
  uint32_t type;
  void (*change)(kdFlow&);
  json leaf;
  json dimensions;
  // The nested levels below the local MAC and IP; none for the types indexed by number, whose
  // trees are checked on their own.
  std::vector<std::string> private_path;
};

void PrintTo(const Forms& c, std::ostream* out) {
  *out << c.name;
}

class RecordForms : public testing::TestWithParam<Forms> {};

json Joined(json a, const json& b) {
  for (auto it = b.begin(); it != b.end(); ++it) a[it.key()] = it.value();
  return a;
}

TEST_P(RecordForms, FlatRowsAndNestedTrees) {
  const Forms& c = GetParam();
  const auto flow = FlowWith(c.change);
  const json local = {{"local_ip", "10.0.0.1"}, {"local_mac", "00:11:22:33:44:55"}};
  const json private_row = Joined(c.leaf, c.dimensions);
  const json type = {{"aggregator", c.type}};
  EXPECT_EQ(StatsFor(Joined(type, {{"privacy_mode", true}}), {flow}), json::array({private_row}));
  const json row = Joined(private_row, local);
  EXPECT_EQ(StatsFor(type, {flow}), json::array({row}));
  // korvia-replay lays its tables out from the described members, not from payloads.
  std::set<std::string> described;
  for (const kppRowMember& member : kppRecordTypeOf(c.type)->rows->members)
    described.insert(member.name);
  std::set<std::string> encoded;
  for (auto it = row.begin(); it != row.end(); ++it) encoded.insert(it.key());
  EXPECT_EQ(encoded, described);
  if (c.private_path.empty()) return;

  // korvia-replay reads a tree's levels back as the members the description names.
  auto described_path = [&row](const kppRowList<const char*>& levels) {
    std::vector<std::string> path;
    for (const char* member : levels)
      path.push_back(row[member].is_string() ? row[member].get<std::string>() : row[member].dump());
    return path;
  };
  const kppRecordRows& rows = *kppRecordTypeOf(c.type)->rows;
  EXPECT_EQ(described_path(rows.private_levels), c.private_path);
  std::vector<std::string> full_path = {"00:11:22:33:44:55", "10.0.0.1"};
  full_path.insert(full_path.end(), c.private_path.begin(), c.private_path.end());
  EXPECT_EQ(described_path(rows.nested_levels), full_path);

  json private_tree = c.leaf;
  for (auto level = c.private_path.rbegin(); level != c.private_path.rend(); ++level)
    private_tree = json{{*level, private_tree}};
  EXPECT_EQ(StatsFor(Joined(type, {{"nested", true}, {"privacy_mode", true}}), {flow}),
            private_tree);
  EXPECT_EQ(StatsFor(Joined(type, {{"nested", true}}), {flow}),
            json({{"00:11:22:33:44:55", {{"10.0.0.1", private_tree}}}}));
}

const json kDetailLeaf = {{"digests", {"0000000000001234"}},
                          {"interface", "eth0"},
                          {"internal", true},
                          {"ip_protocol", 6},
                          {"ip_version", 4},
                          {"local_bytes", 1000},
                          {"local_origin", true},
                          {"other_bytes", 5000},
                          {"other_port", 443},
                          {"other_type", "unknown"}};
const json kDetailDimensions = {{"detected_application", 10},
                                {"detected_application_name", "10.example"},
                                {"other_ip", "192.0.2.7"},
                                {"detected_protocol", 91},
                                {"detected_protocol_name", "TLS"}};
const json kVlanPortLeaf = {{"download", 5000},  {"ip_protocol", 6}, {"ip_version", 4},
                            {"other_port", 443}, {"packets", 15},    {"upload", 1000},
                            {"vlan_id", 0}};
const json kVlanPortDimensions = {
    {"application_id", 10}, {"other_ip", "192.0.2.7"}, {"protocol_id", 91}};

const Forms kForms[] = {
    {"type1",
     1,
     [](kdFlow&) {},
     {{"download", 5000}, {"packets", 15}, {"upload", 1000}},
     {{"application_id", "10.example"}, {"protocol_id", 91}},
     {"10.example", "91"}},
    {"type2",
     2,
     [](kdFlow&) {},
     {{"flow_count", 1},
      {"ip_protocol", 6},
      {"local_bytes", 1000},
      {"other_bytes", 5000},
      {"packets", 15}},
     {{"application_id", "10.example"}, {"other_ip", "192.0.2.7"}, {"protocol_id", 91}},
     {"192.0.2.7", "10.example", "91"}},
    {"type3",
     3,
     [](kdFlow&) {},
     Joined(kDetailLeaf, {{"packets", 15}}),
     kDetailDimensions,
     {"192.0.2.7", "10.example", "TLS"}},
    {"type4", 4, [](kdFlow&) {}, kVlanPortLeaf, kVlanPortDimensions, {}},
    {"type6",
     6,
     [](kdFlow& f) {
       f.tags = {"vpn", "guest"};
       f.application_category = 3;
       f.protocol_category = 5;
     },
     Joined(kDetailLeaf, {{"local_packets", 10}, {"other_packets", 5}, {"tags", {"guest", "vpn"}}}),
     Joined(kDetailDimensions, {{"application_category", 3}, {"protocol_category", 5}}),
     {"192.0.2.7", "10.example", "TLS"}},
    {"type8",
     8,
     [](kdFlow& f) { f.host_name = "www.example"; },
     kVlanPortLeaf,
     Joined(kVlanPortDimensions, {{"hostname", "www.example"}}),
     {}},
};

std::string CaseName(const testing::TestParamInfo<Forms>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(FlowTypes, RecordForms, testing::ValuesIn(kForms), CaseName);

}  // namespace
