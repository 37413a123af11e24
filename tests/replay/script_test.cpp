// Reading and validating event scripts, and building flows from FLOW descriptions.
#include <gtest/gtest.h>

#include <sstream>

#include "replay_flow_builder.h"
#include "replay_json_fields.h"
#include "replay_script.h"

namespace {

using kdreplay::Script;
using nlohmann::json;

// The script text makes, or the reader's message ("" when it takes the text).
std::string ErrorOf(const std::string& text, Script* script = nullptr) {
  std::istringstream in(text);
  Script parsed;
  std::string error;
  if (!kdreplay::ParseScript(in, "s.jsonl", parsed, error)) return error;
  if (script != nullptr) *script = parsed;
  return "";
}

Script Parse(const std::string& text) {
  Script script;
  std::string error = ErrorOf(text, &script);
  EXPECT_EQ(error, "");
  return script;
}

// The typed events of a script, as they are delivered.
std::vector<kdreplay::EventBody> Events(const Script& script) {
  std::vector<kdreplay::EventBody> events;
  for (const auto& line : script.lines) {
    kdreplay::EventBody event;
    std::string error;
    EXPECT_TRUE(kdreplay::ParseEvent(line.text, script.name, line.line, event, error)) << error;
    events.push_back(event);
  }
  return events;
}

TEST(Script, EventsKeepTheirLineNumbersAndDefaults) {
  Script script = Parse(
      "# comment\n"
      "\n"
      "   \r\n"
      "{\"event\": \"flows\", \"flows\": [{}, {}]}\r\n"
      "{\"event\": \"flow\", \"flow\": {}}\n"
      "  # indented comment\n"
      "{\"event\": \"stats\", \"iface\": \"eth1\"}\n"
      "{\"event\": \"reload\"}\n"
      "{\"event\": \"link\", \"index\": 3, \"mac\": null}\n"
      "{\"event\": \"status\"}\n"
      "{\"event\": \"sleep\", \"ms\": 5}");  // no newline at the end
  ASSERT_EQ(script.lines.size(), 7u);
  std::vector<size_t> lines;
  for (const auto& line : script.lines) lines.push_back(line.line);
  EXPECT_EQ(lines, (std::vector<size_t>{4, 5, 7, 8, 9, 10, 11}));
  auto events = Events(script);

  const auto& flows = std::get<kdreplay::FlowsEvent>(events[0]);
  EXPECT_EQ(flows.flows.size(), 2u);
  EXPECT_EQ(flows.value, 1u);
  EXPECT_EQ(flows.buckets, 1u);
  EXPECT_EQ(std::get<kdreplay::FlowEvent>(events[1]).value, 4u);
  EXPECT_EQ(std::get<kdreplay::StatsEvent>(events[2]).stats.raw, 0u);
  EXPECT_FALSE(std::get<kdreplay::ReloadEvent>(events[3]).conf_text);
  EXPECT_FALSE(std::get<kdreplay::LinkEvent>(events[4]).mac);
  EXPECT_EQ(std::get<kdreplay::SleepEvent>(events[6]).ms, 5u);
  EXPECT_FALSE(script.rewrites_conf);
}

TEST(Script, ValuesPassThroughUnchanged) {
  Script script = Parse(
      "{\"event\": \"flows\", \"flows\": [], \"value\": 4294967295, \"buckets\": 7}\n"
      "{\"event\": \"flow\", \"flow\": {}, \"value\": 0}\n"
      "{\"event\": \"reload\", \"conf\": {\"aggregator\": 2}}\n"
      "{\"event\": \"reload\", \"conf_text\": \"// c\\n{}\"}\n"
      "{\"event\": \"link\", \"index\": 9, \"mac\": \"AA-bb-cc-dd-ee-ff\"}\n");
  auto events = Events(script);
  const auto& flows = std::get<kdreplay::FlowsEvent>(events[0]);
  EXPECT_EQ(flows.value, 4294967295u);
  EXPECT_EQ(flows.buckets, 7u);
  EXPECT_EQ(std::get<kdreplay::FlowEvent>(events[1]).value, 0u);
  EXPECT_EQ(json::parse(*std::get<kdreplay::ReloadEvent>(events[2]).conf_text),
            json::parse(R"({"aggregator": 2})"));
  EXPECT_EQ(*std::get<kdreplay::ReloadEvent>(events[3]).conf_text, "// c\n{}");
  EXPECT_EQ(std::get<kdreplay::LinkEvent>(events[4]).mac->GetString(), "aa:bb:cc:dd:ee:ff");
  EXPECT_TRUE(script.rewrites_conf);
}

TEST(Script, StatisticsCountersByTheirKeys) {
  Script script = Parse(
      "{\"event\": \"stats\", \"iface\": \"e\", \"stats\": {\"raw\": 1, \"capture_filtered\": "
      "18446744073709551615, \"largest_bytes\": 4294967295, \"ip6_bytes\": 4}}\n");
  auto events = Events(script);
  const kdPacketStats& stats = std::get<kdreplay::StatsEvent>(events[0]).stats;
  EXPECT_EQ(stats.raw, 1u);
  EXPECT_EQ(stats.capture_filtered, 18446744073709551615u);
  EXPECT_EQ(stats.largest_bytes, 4294967295u);
  EXPECT_EQ(stats.ip6_bytes, 4u);
  EXPECT_EQ(stats.tcp, 0u);
}

TEST(Script, BadLinesNameTheLineAndTheMember) {
  struct Case {
    const char* line;
    const char* message;
  };
  const Case cases[] = {
      {"not json", "s.jsonl:2: invalid JSON: "},
      {"[1]", "s.jsonl:2: expected a JSON object"},
      {"{}", "s.jsonl:2: member \"event\": missing"},
      {"{\"event\": \"explode\"}", "member \"event\": unknown event \"explode\""},
      {"{\"event\": 1}", "member \"event\": expected a string"},
      {"{\"event\": \"status\", \"extra\": 1}", "member \"extra\": unknown member"},
      {"{\"event\": \"flows\"}", "member \"flows\": missing"},
      {"{\"event\": \"flows\", \"flows\": {}}", "member \"flows\": expected an array"},
      {"{\"event\": \"flows\", \"flows\": [], \"value\": -1}",
       "member \"value\": expected an integer from 0 to 4294967295, got -1"},
      {"{\"event\": \"flows\", \"flows\": [], \"value\": 4294967296}", "member \"value\""},
      {"{\"event\": \"flows\", \"flows\": [], \"value\": 1.5}", "member \"value\""},
      {"{\"event\": \"flows\", \"flows\": [], \"value\": true}", "member \"value\""},
      {"{\"event\": \"flows\", \"flows\": [], \"buckets\": 0}",
       "member \"buckets\": expected at least 1"},
      {"{\"event\": \"flows\", \"flows\": [], \"buckets\": 65537}", "member \"buckets\""},
      {"{\"event\": \"flows\", \"flows\": [{}, 5]}", "member \"flows[1]\": expected a FLOW object"},
      {"{\"event\": \"flow\", \"flow\": {\"bogus\": 1}}", "member \"flow.bogus\": unknown member"},
      {"{\"event\": \"stats\", \"stats\": {}}", "member \"iface\": missing"},
      {"{\"event\": \"stats\", \"iface\": \"e\", \"stats\": {\"rawr\": 1}}",
       "member \"stats.rawr\": unknown packet statistics counter"},
      {"{\"event\": \"stats\", \"iface\": \"e\", \"stats\": {\"largest_bytes\": 4294967296}}",
       "member \"stats.largest_bytes\""},
      {"{\"event\": \"reload\", \"conf\": {}, \"conf_text\": \"\"}", "not both"},
      {"{\"event\": \"reload\", \"conf_text\": 5}", "member \"conf_text\": expected a string"},
      {"{\"event\": \"link\", \"index\": 1}", "member \"mac\": missing"},
      {"{\"event\": \"link\", \"index\": 1, \"mac\": \"10.0.0.1\"}",
       "member \"mac\": expected a MAC address"},
      {"{\"event\": \"sleep\", \"ms\": 3600001}", "member \"ms\""},
  };
  for (const Case& c : cases) {
    std::string error = ErrorOf("{\"event\": \"status\"}\n" + std::string(c.line) + "\n");
    EXPECT_NE(error.find(c.message), std::string::npos) << c.line << " gave: " << error;
    EXPECT_EQ(error.compare(0, 10, "s.jsonl:2:"), 0) << error;
  }
}

TEST(Script, HostileInputIsRefusedWithoutCrashing) {
  EXPECT_NE(ErrorOf("\n" + std::string(200000, '[') + std::string(200000, ']'))
                .find("s.jsonl:2: JSON nested deeper than 128 levels"),
            std::string::npos);
  // Brackets inside strings do not count.
  std::string deep_text =
      "{\"event\": \"reload\", \"conf_text\": \"" + std::string(500, '[') + "\"}";
  EXPECT_EQ(ErrorOf(deep_text), "");
  std::string nested =
      "{\"event\": \"reload\", \"conf\": " + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(ErrorOf(nested), "");

  std::string long_line(kdreplay::kMaxLineBytes + 1, ' ');
  EXPECT_EQ(ErrorOf("{\"event\": \"status\"}\n" + long_line + "\n{}\n"),
            "s.jsonl:2: line longer than 16777216 bytes");
  EXPECT_EQ(ErrorOf(long_line), "s.jsonl:1: line longer than 16777216 bytes");
  // Typed flows take far more room than their text: one event holds a bounded number of them.
  std::string many = "{\"event\": \"flows\", \"flows\": [{}";
  for (size_t i = 0; i < kdreplay::kMaxFlowsPerEvent; ++i) many += ",{}";
  EXPECT_NE(ErrorOf(many + "]}").find("member \"flows\": more than 100000 flows"),
            std::string::npos);
  // A very long JSON token is not quoted whole in the message.
  std::string unterminated = "{\"event\": \"" + std::string(100000, 'x');
  EXPECT_LT(ErrorOf(unterminated).size(), 400u);
}

TEST(FlowBuilder, EveryMemberReachesItsAttribute) {
  json description = {{"iface", {{"name", "wan"}, {"index", 3}, {"capture_type", 16}, {"role", 2}}},
                      {"endpoint_map", 2},
                      {"origin", 1},
                      {"dpi_complete", false},
                      {"other_type", 5},
                      {"ip_version", 6},
                      {"ip_protocol", 17},
                      {"vlan_id", 65535},
                      {"mac_a", "00:00:00:00:00:0a"},
                      {"mac_b", "00:00:00:00:00:0b"},
                      {"addr_a", "2001:db8::a"},
                      {"addr_b", "2001:db8::b"},
                      {"nat_addr", "192.0.2.1"},
                      {"port_a", 1},
                      {"port_b", 2},
                      {"nat_port", 3},
                      {"bytes_a", 18446744073709551615u},
                      {"bytes_b", 11},
                      {"packets_a", 4294967295u},
                      {"packets_b", 13},
                      {"digests", {1, 18446744073709551615u}},
                      {"flow_digest", 14},
                      {"flow_ifindex", 15},
                      {"first_seen_ms", 16},
                      {"last_seen_ms", 17},
                      {"closed", true},
                      {"detected_protocol", 18},
                      {"detected_protocol_name", "P"},
                      {"detected_application", 19},
                      {"detected_application_name", "A"},
                      {"application_category", 20},
                      {"protocol_category", 21},
                      {"tags", {"x", "y", "x"}},
                      {"host_name", "h"},
                      {"preferred_host_name", "ph"}};
  auto flow = kdreplay::BuildFlow(description, "flow");
  EXPECT_EQ(flow->iface->name, "wan");
  EXPECT_EQ(flow->iface->index, 3u);
  EXPECT_EQ(flow->iface->capture_type, 16u);
  EXPECT_EQ(flow->iface->role, 2);
  EXPECT_EQ(flow->endpoint_map, 2);
  EXPECT_EQ(flow->origin, 1);
  EXPECT_FALSE(flow->dpi_complete);
  EXPECT_EQ(flow->other_type, 5);
  EXPECT_EQ(flow->ip_version, 6);
  EXPECT_EQ(flow->ip_protocol, 17);
  EXPECT_EQ(flow->vlan_id, 65535);
  EXPECT_EQ(flow->mac_a.GetString(), "00:00:00:00:00:0a");
  EXPECT_EQ(flow->mac_b.GetString(), "00:00:00:00:00:0b");
  EXPECT_EQ(flow->addr_a.GetString(), "2001:db8::a");
  EXPECT_EQ(flow->addr_b.GetString(), "2001:db8::b");
  EXPECT_EQ(flow->nat_addr.GetString(), "192.0.2.1");
  EXPECT_EQ(flow->addr_a.GetPort(true), 1);
  EXPECT_EQ(flow->addr_b.GetPort(true), 2);
  EXPECT_EQ(flow->nat_addr.GetPort(true), 3);
  EXPECT_EQ(flow->bytes_a, 18446744073709551615u);
  EXPECT_EQ(flow->bytes_b, 11u);
  EXPECT_EQ(flow->packets_a, 4294967295u);
  EXPECT_EQ(flow->packets_b, 13u);
  EXPECT_EQ(flow->digests, (std::vector<uint64_t>{1, 18446744073709551615u}));
  EXPECT_EQ(flow->flow_digest, 14u);
  EXPECT_EQ(flow->flow_ifindex, 15u);
  EXPECT_EQ(flow->first_seen_ms, 16u);
  EXPECT_EQ(flow->last_seen_ms, 17u);
  EXPECT_TRUE(flow->closed);
  EXPECT_EQ(flow->detected_protocol, 18u);
  EXPECT_EQ(flow->detected_protocol_name, "P");
  EXPECT_EQ(flow->detected_application, 19u);
  EXPECT_EQ(flow->detected_application_name, "A");
  EXPECT_EQ(flow->application_category, 20u);
  EXPECT_EQ(flow->protocol_category, 21u);
  EXPECT_EQ(flow->tags, (std::set<std::string>{"x", "y"}));
  EXPECT_EQ(flow->host_name, "h");
  EXPECT_EQ(flow->preferred_host_name, "ph");
}

TEST(FlowBuilder, AbsentMembersAreEmpty) {
  auto flow = kdreplay::BuildFlow(json::object(), "flow");
  ASSERT_TRUE(flow->iface);
  EXPECT_EQ(flow->iface->name, "eth0");
  EXPECT_EQ(flow->iface->index, kdInterface::kNoIndex);
  EXPECT_TRUE(flow->dpi_complete);
  EXPECT_EQ(flow->flow_ifindex, 0u);
  EXPECT_FALSE(flow->addr_a.IsValid());
  EXPECT_FALSE(flow->nat_addr.IsValid());
  EXPECT_EQ(flow->bytes_a, 0u);
  EXPECT_TRUE(flow->digests.empty());
  auto partial = kdreplay::BuildFlow(json::parse(R"({"iface": {"index": 2}, "addr_a": ""})"), "f");
  EXPECT_EQ(partial->iface->name, "eth0");
  EXPECT_EQ(partial->iface->index, 2u);
  EXPECT_FALSE(partial->addr_a.IsValid());
}

TEST(FlowBuilder, WrongMembersAreNamed) {
  struct Case {
    const char* flow;
    const char* member;
  };
  const Case cases[] = {
      {R"({"port_a": 65536, "addr_a": "10.0.0.1"})", "f.port_a"},
      {R"({"port_a": 80})", "f.port_a"},  // no address to carry it
      {R"({"endpoint_map": 256})", "f.endpoint_map"},
      {R"({"vlan_id": 65536})", "f.vlan_id"},
      {R"({"packets_a": 4294967296})", "f.packets_a"},
      {R"({"bytes_a": -1})", "f.bytes_a"},
      {R"({"bytes_a": "1"})", "f.bytes_a"},
      {R"({"dpi_complete": 1})", "f.dpi_complete"},
      {R"({"closed": "true"})", "f.closed"},
      {R"({"mac_a": "00:11:22:33:44"})", "f.mac_a"},
      {R"({"mac_a": "10.0.0.1"})", "f.mac_a"},
      {R"({"addr_a": "00:11:22:33:44:55"})", "f.addr_a"},
      {R"({"addr_b": "10.0.0.256"})", "f.addr_b"},
      {R"({"nat_addr": 5})", "f.nat_addr"},
      {R"({"digests": [1, -2]})", "f.digests[1]"},
      {R"({"digests": 1})", "f.digests"},
      {R"({"tags": ["a", 1]})", "f.tags[1]"},
      {R"({"iface": "eth0"})", "f.iface"},
      {R"({"iface": {"name": "x", "mtu": 1}})", "f.iface.mtu"},
      {R"({"iface": {"role": 300}})", "f.iface.role"},
      {R"({"host_name": null})", "f.host_name"},
      {R"({"Host_name": "x"})", "f.Host_name"},
  };
  for (const Case& c : cases) {
    try {
      kdreplay::BuildFlow(json::parse(c.flow), "f");
      ADD_FAILURE() << c.flow << " was accepted";
    } catch (const kdreplay::MemberError& e) {
      EXPECT_EQ(e.member(), c.member) << c.flow << ": " << e.what();
    }
  }
  // An embedded NUL does not shorten an address into a valid one.
  EXPECT_THROW(kdreplay::BuildFlow({{"addr_a", std::string("10.0.0.1\0x", 10)}}, "f"),
               kdreplay::MemberError);
}

}  // namespace
