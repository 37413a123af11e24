// The flow criteria language: operators and precedence, every kind of field, errors with their
// positions, hostile input, the cache and concurrent evaluation.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korviad/kd_exception.h"
#include "korviad/kd_flow.h"
#include "korviad/kd_flow_parser.h"
#include "test_support.h"

namespace {

using testing_support::Addr;
using testing_support::MakeFlow;

bool Match(const std::string& expression, const kdFlow& flow) {
  kdFlowParser parser;
  std::map<std::string, nlohmann::json> parameters;
  return parser.Parse(&flow, parameters, expression);
}

// The message of the exception Compile raises, or "" when it compiles.
std::string ErrorOf(const std::string& expression) {
  kdFlowParser parser;
  try {
    parser.Compile(expression);
  } catch (const kdException& e) {
    return e.what();
  }
  return "";
}

std::shared_ptr<kdFlow> FlowWithAddresses(const std::string& a, const std::string& b) {
  auto flow = MakeFlow();
  flow->addr_a = Addr(a, 1000);
  flow->addr_b = Addr(b, 2000);
  return flow;
}

TEST(FlowParser, Precedence) {
  auto flow = MakeFlow();  // ip_protocol 6, ip_version 4, internal, dpi_complete
  // && binds tighter than ||.
  EXPECT_TRUE(Match("ip_protocol == 6 || ip_protocol == 17 && ip_version == 6", *flow));
  EXPECT_FALSE(Match("(ip_protocol == 6 || ip_protocol == 17) && ip_version == 6", *flow));
  EXPECT_TRUE(Match("ip_version == 6 && ip_protocol == 17 || internal", *flow));
  // ! binds tighter than a comparison: !internal == false is (!internal) == false.
  EXPECT_TRUE(Match("!internal == false", *flow));
  EXPECT_FALSE(Match("!internal", *flow));
  EXPECT_TRUE(Match("!!internal", *flow));
  EXPECT_TRUE(Match("!(ip_protocol == 17) && !(ip_version == 6 || closed)", *flow));
  EXPECT_FALSE(Match("!(ip_protocol == 6 && internal)", *flow));
  // Parenthesised conditions compare with true and false.
  EXPECT_TRUE(Match("(ip_protocol == 17) == false", *flow));
  EXPECT_TRUE(Match("(ip_protocol == 6) != false", *flow));
  EXPECT_TRUE(Match("true && (false || true)", *flow));
  EXPECT_FALSE(Match("false", *flow));
  // Spacing does not matter.
  EXPECT_TRUE(Match("(ip_protocol==6&&!closed)||false", *flow));
  EXPECT_TRUE(Match(" \t\nip_protocol\n==\t6 ", *flow));
}

TEST(FlowParser, NumberComparisons) {
  auto flow = MakeFlow();
  flow->vlan_id = 100;
  flow->bytes_a = 1000;
  flow->bytes_b = 5000;
  flow->packets_a = 0xFFFFFFFF;
  flow->packets_b = 2;
  EXPECT_TRUE(Match("vlan_id == 100 && vlan_id != 101", *flow));
  EXPECT_TRUE(Match("vlan_id < 101 && vlan_id <= 100 && vlan_id > 99 && vlan_id >= 100", *flow));
  EXPECT_FALSE(Match("vlan_id < 100 || vlan_id > 100", *flow));
  EXPECT_TRUE(Match("vlan_id == 0x64 && vlan_id == 0X64", *flow));
  EXPECT_TRUE(Match("bytes == 6000 && local_bytes == 1000 && other_bytes == 5000", *flow));
  // Sums do not wrap at 2^32.
  EXPECT_TRUE(Match("packets == 4294967297", *flow));
  EXPECT_TRUE(Match("bytes_a <= 18446744073709551615", *flow));
  EXPECT_TRUE(Match("detected_protocol == 91 && detected_application == 10", *flow));
}

TEST(FlowParser, Ipv4Prefixes) {
  auto flow = FlowWithAddresses("10.1.2.3", "192.0.2.7");  // endpoint_map 1: A local
  EXPECT_TRUE(Match("local_ip == 10.1.2.3", *flow));
  EXPECT_TRUE(Match("local_ip == '10.1.2.3'", *flow));  // quoted addresses work too
  EXPECT_FALSE(Match("local_ip == 10.1.2.4", *flow));
  EXPECT_TRUE(Match("local_ip == 10.1.2.3/32 && local_ip != 10.1.2.2/32", *flow));
  EXPECT_TRUE(Match("local_ip == 10.1.2.2/31", *flow));
  EXPECT_FALSE(Match("local_ip == 10.1.2.4/31", *flow));
  EXPECT_TRUE(Match("local_ip == 10.0.0.0/8 && local_ip != 11.0.0.0/8", *flow));
  EXPECT_TRUE(Match("local_ip == 10.1.0.0/17", *flow));
  EXPECT_FALSE(Match("local_ip == 10.1.128.0/17", *flow));
  // Host bits past the length are ignored.
  EXPECT_TRUE(Match("local_ip == 10.255.255.255/8", *flow));
  // /0 holds every IPv4 address and no IPv6 one.
  EXPECT_TRUE(Match("other_ip == 0.0.0.0/0", *flow));
  EXPECT_FALSE(Match("other_ip == ::/0", *flow));
  EXPECT_TRUE(Match("other_ip != ::/0", *flow));
  // Ports are not part of an address comparison.
  EXPECT_TRUE(Match("other_ip == 192.0.2.7 && other_port == 2000", *flow));
}

TEST(FlowParser, Ipv6Prefixes) {
  auto flow = FlowWithAddresses("2001:db8::1", "2001:db8:ffff::8000");
  EXPECT_TRUE(Match("local_ip == 2001:db8::1 && local_ip == 2001:DB8:0:0::1/128", *flow));
  EXPECT_FALSE(Match("local_ip == 2001:db8::2/128", *flow));
  EXPECT_TRUE(Match("local_ip == 2001:db8::/32 && local_ip == 2001:db8::/64", *flow));
  EXPECT_TRUE(Match("other_ip == 2001:db8:ffff::8000/113", *flow));
  EXPECT_FALSE(Match("other_ip == 2001:db8:ffff::/113", *flow));
  EXPECT_TRUE(Match("other_ip == 2001:db8:ffff::/112", *flow));
  EXPECT_TRUE(Match("other_ip == ::/0 && other_ip != 0.0.0.0/0", *flow));
  // An IPv4-mapped address is an IPv6 address.
  auto mapped = FlowWithAddresses("::ffff:10.0.0.1", "192.0.2.7");
  EXPECT_FALSE(Match("local_ip == 10.0.0.1", *mapped));
  EXPECT_TRUE(Match("local_ip == ::ffff:10.0.0.1", *mapped));
  // An unset address is within nothing.
  auto unset = MakeFlow();
  EXPECT_FALSE(Match("nat_ip == 0.0.0.0/0 || nat_ip == ::/0", *unset));
  unset->nat_addr = Addr("203.0.113.5");
  EXPECT_TRUE(Match("nat_ip == 203.0.113.0/24", *unset));
}

TEST(FlowParser, SidesFollowEndpointMap) {
  auto flow = MakeFlow();  // A: 00:11:..., 10.0.0.1:50000; B: 66:77:..., 192.0.2.7:443
  const std::string a_local =
      "local_ip == 10.0.0.1 && other_ip == 192.0.2.7 && local_port == 50000 && "
      "other_port == 443 && local_mac == 00:11:22:33:44:55 && other_mac == 66:77:88:99:aa:bb && "
      "local_bytes == 1000 && other_bytes == 5000 && local_packets == 10 && other_packets == 5";
  const std::string b_local =
      "local_ip == 192.0.2.7 && other_ip == 10.0.0.1 && local_port == 443 && "
      "other_port == 50000 && local_mac == 66:77:88:99:aa:bb && other_mac == 00:11:22:33:44:55 && "
      "local_bytes == 5000 && other_bytes == 1000 && local_packets == 5 && other_packets == 10";
  flow->endpoint_map = 1;
  EXPECT_TRUE(Match(a_local, *flow));
  EXPECT_FALSE(Match(b_local, *flow));
  // Only 1 makes A local: 0 (unknown), 2 and anything else make B local.
  for (uint8_t map : {0, 2, 3}) {
    flow->endpoint_map = map;
    EXPECT_TRUE(Match(b_local, *flow)) << int(map);
    EXPECT_FALSE(Match(a_local, *flow)) << int(map);
  }
}

TEST(FlowParser, LocalOrigin) {
  auto flow = MakeFlow();
  struct Case {
    uint8_t origin, map;
    bool local;
  };
  for (const Case& c : {Case{1, 1, true}, Case{2, 2, true}, Case{1, 2, false}, Case{2, 1, false},
                        Case{0, 1, true}, Case{0, 0, false}, Case{2, 0, false}}) {
    flow->origin = c.origin;
    flow->endpoint_map = c.map;
    EXPECT_EQ(Match("local_origin", *flow), c.local) << int(c.origin) << " " << int(c.map);
  }
}

TEST(FlowParser, MacAddresses) {
  auto flow = MakeFlow();
  EXPECT_TRUE(Match("local_mac == 00:11:22:33:44:55", *flow));
  EXPECT_TRUE(Match("other_mac == 66-77-88-99-AA-BB", *flow));
  EXPECT_TRUE(Match("other_mac == '66:77:88:99:aa:bb'", *flow));
  EXPECT_TRUE(Match("other_mac != 66:77:88:99:aa:bc", *flow));
  flow->mac_b.Clear();
  EXPECT_FALSE(Match("other_mac == 00:00:00:00:00:00", *flow));
  EXPECT_TRUE(Match("other_mac != 00:00:00:00:00:00", *flow));
}

TEST(FlowParser, TextFieldsAndInterface) {
  auto flow = MakeFlow();
  flow->host_name = "example.com";
  flow->preferred_host_name = "it's \"here\"";
  EXPECT_TRUE(
      Match("detected_protocol_name == 'TLS' && detected_application_name == \"example\"", *flow));
  EXPECT_FALSE(Match("detected_protocol_name == 'tls'", *flow));  // case matters
  EXPECT_TRUE(Match("host_name == 'example.com' && host_name != 'example.co'", *flow));
  EXPECT_TRUE(Match(R"(preferred_host_name == 'it\'s "here"')", *flow));
  EXPECT_TRUE(Match(R"(preferred_host_name == "it's \"here\"")", *flow));
  EXPECT_TRUE(Match("iface == 'eth0' && internal", *flow));
  flow->iface->role = kdInterface::kRoleExternal;
  EXPECT_FALSE(Match("internal", *flow));
  // A flow without an interface has an empty interface name and is not internal.
  flow->iface.reset();
  EXPECT_TRUE(Match("iface == '' && !internal", *flow));
  flow->host_name.clear();
  EXPECT_TRUE(Match("host_name == ''", *flow));
}

TEST(FlowParser, Tags) {
  auto flow = MakeFlow();
  EXPECT_FALSE(Match("tags == 'guest'", *flow));
  EXPECT_TRUE(Match("tags != 'guest'", *flow));
  flow->tags = {"guest", "iot"};
  EXPECT_TRUE(Match("tags == 'guest' && tags == \"iot\" && tags != 'staff'", *flow));
  EXPECT_FALSE(Match("tags == 'gues'", *flow));
}

TEST(FlowParser, OtherTypeWords) {
  auto flow = MakeFlow();
  const char* words[] = {"unknown",   "unsupported", "local", "multicast",
                         "broadcast", "remote",      "error"};
  for (uint8_t code = 0; code < 7; ++code) {
    flow->other_type = code;
    for (uint8_t word = 0; word < 7; ++word) {
      EXPECT_EQ(Match(std::string("other_type == ") + words[word], *flow), code == word)
          << int(code) << " " << words[word];
    }
    EXPECT_TRUE(Match(std::string("other_type == '") + words[code] + "'", *flow));
    EXPECT_FALSE(Match(std::string("other_type != ") + words[code], *flow));
  }
  // Codes past the table are unknown.
  flow->other_type = 7;
  EXPECT_TRUE(Match("other_type == unknown", *flow));
  flow->other_type = 255;
  EXPECT_TRUE(Match("other_type == unknown && other_type != error", *flow));
}

TEST(FlowParser, BooleanFields) {
  auto flow = MakeFlow();
  EXPECT_TRUE(Match("dpi_complete && dpi_complete == true && !closed && closed == false", *flow));
  flow->closed = true;
  EXPECT_TRUE(Match("closed != false", *flow));
}

TEST(FlowParser, ErrorsNamePositionAndExpectation) {
  struct Case {
    const char* expression;
    const char* message;
  };
  const Case cases[] = {
      {"ip_protocol ==", "criteria: position 15: expected a value after '=='"},
      {"ip_protocol == && x", "criteria: position 16: expected a value after '==', found '&&'"},
      {"ip_proto == 6", "criteria: position 1: unknown field 'ip_proto'"},
      {"", "criteria: position 1: expected a field, '(' or '!', found end of expression"},
      {"ip_protocol == 6 &&",
       "criteria: position 20: expected a field, '(' or '!', found end of expression"},
      {"(ip_protocol == 6",
       "criteria: position 18: expected '&&', '||' or ')' to close '(' at position 1, "
       "found end of expression"},
      {"ip_protocol == 6)",
       "criteria: position 17: expected '&&', '||' or end of expression, found ')'"},
      {"ip_protocol == 6 6",
       "criteria: position 18: expected '&&', '||' or end of expression, found '6'"},
      {"ip_protocol = 6", "criteria: position 13: unexpected '='; compare with '=='"},
      {"internal & closed", "criteria: position 10: unexpected '&'; combine with '&&'"},
      {"internal | closed", "criteria: position 10: unexpected '|'; combine with '||'"},
      {"host_name == 'abc", "criteria: position 14: unterminated string"},
      {"host_name == 'abc\\'", "criteria: position 14: unterminated string"},
      {"ip_protocol == 6 # x", "criteria: position 18: unexpected character '#'"},
      {"ip_protocol == 6 \x01", "criteria: position 18: unexpected character byte 0x01"},
      {"ip_protocol",
       "criteria: position 12: expected a comparison operator after 'ip_protocol', "
       "found end of expression"},
      {"6 == ip_protocol", "criteria: position 1: expected a field, '(' or '!', found '6'"},
      {"!ip_protocol == 6",
       "criteria: position 1: '!' applies to a condition or a boolean field, not to "
       "'ip_protocol', which is a number field; write !(ip_protocol == ...)"},
      {"ip_protocol == 300",
       "criteria: position 16: number '300' is out of range for 'ip_protocol' (0 to 255)"},
      {"bytes == 18446744073709551616",
       "criteria: position 10: number '18446744073709551616' is out of range for 'bytes' "
       "(0 to 18446744073709551615)"},
      {"vlan_id == 65536",
       "criteria: position 12: number '65536' is out of range for 'vlan_id' "
       "(0 to 65535)"},
      {"ip_protocol == -1",
       "criteria: position 16: 'ip_protocol' is a number field: expected a number, found '-1'"},
      {"ip_protocol == '6'",
       "criteria: position 16: 'ip_protocol' is a number field: expected a number, found \"6\""},
      {"host_name == 5",
       "criteria: position 14: 'host_name' is a text field: expected a quoted string, found '5'"},
      {"host_name < 'a'",
       "criteria: position 11: 'host_name' is a text field: only '==' and '!=' apply"},
      {"other_ip == 6",
       "criteria: position 13: 'other_ip' is an IP address field: expected an IPv4 or IPv6 "
       "address or prefix, found '6'"},
      {"other_ip >= 10.0.0.1",
       "criteria: position 10: 'other_ip' is an IP address field: only '==' and '!=' apply"},
      {"other_ip == 00:11:22:33:44:55",
       "criteria: position 13: 'other_ip' is an IP address field: expected an IPv4 or IPv6 "
       "address or prefix, found '00:11:22:33:44:55'"},
      {"other_ip == 10.0.0.0/33",
       "criteria: position 13: prefix length '33' is out of range for an IPv4 address (0 to 32)"},
      {"other_ip == ::/129",
       "criteria: position 13: prefix length '129' is out of range for an IPv6 address (0 to 128)"},
      {"other_ip == 10.0.0.0/",
       "criteria: position 13: prefix length '' is out of range for an "
       "IPv4 address (0 to 32)"},
      {"local_mac == 10.0.0.1",
       "criteria: position 14: 'local_mac' is a MAC address field: expected a MAC address such as "
       "00:11:22:33:44:55, found '10.0.0.1'"},
      {"internal == 1",
       "criteria: position 13: 'internal' is a boolean field: expected true or false, found '1'"},
      {"tags == guest",
       "criteria: position 9: 'tags' is a tag set field: expected a quoted tag, found 'guest'"},
      {"tags > 'guest'",
       "criteria: position 6: 'tags' is a tag set field: only '==' and '!=' apply"},
      {"other_type == far",
       "criteria: position 15: 'other_type' is a peer kind field: expected one of unknown, "
       "unsupported, local, multicast, broadcast, remote, error, found 'far'"},
      {"other_type == 5",
       "criteria: position 15: 'other_type' is a peer kind field: expected one of unknown, "
       "unsupported, local, multicast, broadcast, remote, error, found '5'"},
      {"(internal) < true", "criteria: position 12: only '==' and '!=' apply to a condition"},
      {"(internal) == 1",
       "criteria: position 15: a condition compares with true or false, found '1'"},
      {"ip_protocol == 6 == true",
       "criteria: position 18: expected '&&', '||' or end of expression, found '=='"},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.expression), c.message) << c.expression;
}

TEST(FlowParser, LongWordsAreShortenedInMessages) {
  std::string word(1000, 'x');
  std::string message = ErrorOf(word);
  EXPECT_EQ(message, "criteria: position 1: unknown field '" + std::string(40, 'x') + "...'");
  message = ErrorOf("host_name == " + word);
  EXPECT_NE(message.find("found '" + std::string(40, 'x') + "...'"), std::string::npos) << message;
}

TEST(FlowParser, NestingIsBounded) {
  auto flow = MakeFlow();
  auto nested = [](size_t depth, const char* open, const char* close) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += open;
    text += "internal";
    for (size_t i = 0; i < depth; ++i) text += close;
    return text;
  };
  EXPECT_TRUE(Match(nested(256, "(", ")"), *flow));
  EXPECT_TRUE(Match(nested(256, "!", ""), *flow));
  EXPECT_TRUE(Match(nested(128, "!(", ")"), *flow));
  EXPECT_EQ(ErrorOf(nested(257, "(", ")")),
            "criteria: position 257: nesting deeper than 256 levels of '(' and '!'");
  EXPECT_EQ(ErrorOf(nested(257, "!", "")),
            "criteria: position 257: nesting deeper than 256 levels of '(' and '!'");
  // Hostile input fails cleanly instead of exhausting the stack.
  EXPECT_NE(ErrorOf(std::string(100000, '(')).find("nesting deeper than 256"), std::string::npos);
  EXPECT_NE(ErrorOf(std::string(100000, '!')).find("nesting deeper than 256"), std::string::npos);
}

TEST(FlowParser, LongExpressions) {
  auto flow = MakeFlow();
  std::string text = "vlan_id == 1";
  for (int i = 2; i <= 20000; ++i) text += " || vlan_id == " + std::to_string(i);
  flow->vlan_id = 20000;
  EXPECT_TRUE(Match(text, *flow));
  flow->vlan_id = 20001;
  EXPECT_FALSE(Match(text, *flow));
  std::string all = "internal";
  for (int i = 0; i < 20000; ++i) all += " && (ip_protocol == 6)";
  EXPECT_TRUE(Match(all, *flow));
}

TEST(FlowParser, CacheSharesCompiledExpressions) {
  kdFlowParser parser;
  auto first = parser.Compile("ip_protocol == 6");
  EXPECT_EQ(parser.Compile("ip_protocol == 6"), first);
  EXPECT_NE(parser.Compile("ip_protocol == 6 "), first);  // keyed by the exact text
  auto flow = MakeFlow();
  std::map<std::string, nlohmann::json> parameters;
  EXPECT_TRUE(parser.Parse(flow.get(), parameters, "ip_protocol == 6"));
  EXPECT_EQ(parser.Compile("ip_protocol == 6"), first);
  // Another parser has its own cache.
  kdFlowParser other;
  EXPECT_NE(other.Compile("ip_protocol == 6"), first);
  // Errors are not cached: each attempt raises again.
  EXPECT_THROW(parser.Compile("ip_protocol =="), kdException);
  EXPECT_THROW(parser.Parse(flow.get(), parameters, "ip_protocol =="), kdException);
  EXPECT_THROW(parser.Parse(nullptr, parameters, "ip_protocol == 6"), kdException);
  // A compiled expression outlives its parser.
  std::shared_ptr<const kdFlowCriteria> kept;
  {
    kdFlowParser scoped;
    kept = scoped.Compile("internal");
  }
  EXPECT_TRUE(kept->Evaluate(*flow));
}

TEST(FlowParser, CacheStaysBoundedAndCorrect) {
  kdFlowParser parser;
  auto flow = MakeFlow();
  std::map<std::string, nlohmann::json> parameters;
  for (int i = 0; i < 3000; ++i) {
    std::string text = "vlan_id == " + std::to_string(i);
    flow->vlan_id = static_cast<uint16_t>(i);
    ASSERT_TRUE(parser.Parse(flow.get(), parameters, text)) << text;
  }
  auto again = parser.Compile("vlan_id == 2999");
  EXPECT_EQ(parser.Compile("vlan_id == 2999"), again);
}

TEST(FlowParser, ConcurrentCompileAndEvaluate) {
  kdFlowParser parser;
  auto tcp = MakeFlow();
  auto udp = MakeFlow();
  udp->ip_protocol = 17;
  udp->tags = {"guest"};
  const std::vector<std::string> expressions = {
      "ip_protocol == 6 && other_ip == 192.0.2.0/24",
      "tags == 'guest' || other_type == remote",
      "!(ip_protocol == 6) && local_mac == 00:11:22:33:44:55",
  };
  const bool expected[3][2] = {{true, false}, {false, true}, {false, true}};
  std::atomic<int> wrong{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::map<std::string, nlohmann::json> parameters;
      for (int i = 0; i < 2000; ++i) {
        size_t e = static_cast<size_t>(i + t) % expressions.size();
        if (parser.Parse(tcp.get(), parameters, expressions[e]) != expected[e][0]) ++wrong;
        if (parser.Parse(udp.get(), parameters, expressions[e]) != expected[e][1]) ++wrong;
      }
      ++finished;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(finished.load(), 4);
  EXPECT_EQ(wrong.load(), 0);
  // Every thread ended up with the one cached object per text.
  for (const auto& text : expressions) EXPECT_EQ(parser.Compile(text), parser.Compile(text));
}

}  // namespace
