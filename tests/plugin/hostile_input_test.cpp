// Hostile input: configuration files that are huge, deeply nested, of the wrong types, or that
// change under the running worker; channel names no file system would accept; flows with every
// attribute at its extremes; sinks that throw. Each ends with a clear error or a sound result,
// never a crash, and no traffic is lost to it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <set>

#include <gtest/gtest.h>

#include "kpp_record_types.h"
#include "plugin_fixture.h"

namespace {

using namespace testing_support;

constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

std::string ReloadError(kppPlugin& plugin) {
  try {
    plugin.Reload();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

// An empty array nested `depth` levels deep.
std::string DeepArray(size_t depth) {
  return Repeat("[", depth) + Repeat("]", depth);
}

// The settings a hostile file must leave alone when it fails.
json KnownConf() {
  return ConfWithSink({{"log_interval", 77},
                       {"batched_rows", 5},
                       {"aggregator", 3},
                       {"privacy_mode", true},
                       {"criteria", {"ip_protocol == 6"}}});
}

void ExpectKnownSettings(kppPlugin& plugin, uint32_t flags = kppPlugin::FLAG_PRIVACY) {
  EXPECT_EQ(plugin.GetLogInterval(), 77);
  EXPECT_EQ(plugin.GetBatchedRows(), 5u);
  EXPECT_EQ(plugin.GetAggregator(), 3u);
  EXPECT_EQ(plugin.GetFlags(), flags);
  EXPECT_EQ(plugin.GetCriteria(), std::vector<std::string>{"ip_protocol == 6"});
}

TEST(HostileConfiguration, FileOver64MiBIsRefusedUnread) {
  PluginFixture fixture(KnownConf());
  kppPlugin& plugin = fixture.plugin();
  // 100 MB, sparse: refused on its size, before a byte is read.
  ASSERT_EQ(truncate(fixture.conf_path().c_str(), 100 * 1000 * 1000), 0);
  EXPECT_EQ(ReloadError(plugin), "test: " + fixture.conf_path() +
                                     ": File too large (100000000 bytes, at most 67108864)");
  ExpectKnownSettings(plugin);

  // A file that reports no size and never ends is cut off at the same limit.
  kppPlugin endless("test", {{"conf_filename", "/dev/zero"}});
  EXPECT_EQ(ReloadError(endless), "test: /dev/zero: File too large");
}

TEST(HostileConfiguration, SixtyMegabyteFileIsRead) {
  PluginFixture fixture(KnownConf());
  fixture.ConfigureText(R"({"log_interval": 9, "aggregator": 2, "padding": ")" +
                        std::string(60 * 1000 * 1000, 'x') + "\"}");
  EXPECT_EQ(fixture.plugin().GetLogInterval(), 9);
  EXPECT_EQ(fixture.plugin().GetAggregator(), 2u);
}

// A file's content does not flood the log: the parser quotes what it read of a failing token,
// and a token can be the whole file.
TEST(HostileConfiguration, ErrorInAHugeTokenGivesAShortMessage) {
  const std::string huge(2 * 1000 * 1000, 'x');
  const std::string texts[] = {
      "{\"padding\": \"" + huge,                                 // unterminated string
      "{\"log_interval\": 1" + std::string(2000000, '0') + "e",  // malformed number
      "{\"criteria\": [\"" + huge + " == 1\"]}",                 // unknown field
  };
  for (const std::string& text : texts) {
    PluginFixture fixture(KnownConf());
    std::string error;
    try {
      fixture.ConfigureText(text);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error.rfind("test: " + fixture.conf_path() + ": ", 0), 0u) << error.substr(0, 300);
    EXPECT_LT(error.size(), 1024u) << error.substr(0, 300);
    ExpectKnownSettings(fixture.plugin());
  }
}

TEST(HostileConfiguration, MillionLevelsDeep) {
  constexpr size_t kDepth = 1000000;
  const std::string deep = DeepArray(kDepth);

  const std::string sink = R"("sinks": {"sink": {"ch": {}}})";
  const std::string type_error =
      "[json.exception.type_error.302] type must be object, but is array";
  struct Case {
    const char* what;
    std::string text;
    std::string error;  // empty: the reload succeeds
    uint32_t flags;     // the flags are rebuilt by every file that parses
    bool channel;
  };
  const Case cases[] = {
      // Not an object: every key is skipped and the channel table is empty.
      {"whole document", deep, "", 0, false},
      // Skipped as the wrong type; the keys around it are applied.
      {"criteria", "{\"criteria\": " + deep + ", \"privacy_mode\": true, " + sink + "}", "",
       kppPlugin::FLAG_PRIVACY, true},
      // A channel value that is not an object: enabled with the defaults.
      {"channel value", R"({"sinks": {"sink": {"ch": )" + deep + "}}}", "", 0, true},
      {"sink", R"({"sinks": {"sink": )" + deep + "}}", type_error, 0, false},
      // Refused by the parser: nothing changes.
      {"unbalanced", Repeat("[", kDepth), ": JSON exception: ", kppPlugin::FLAG_PRIVACY, true},
  };
  PluginFixture fixture(KnownConf());
  kppPlugin& plugin = fixture.plugin();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fixture.Configure(KnownConf());
    std::string error;
    try {
      fixture.ConfigureText(c.text);
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (c.error.empty()) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error.substr(0, 300);
    }
    ExpectKnownSettings(plugin, c.flags);
    EXPECT_EQ(plugin.GetChannels().count("sink"), c.channel ? 1u : 0u);
  }
}

// Every key with every JSON type: a wrong type is skipped (the flags, rebuilt by every read,
// are cleared), a value of the right type that is not recognised is a clear error.
TEST(HostileConfiguration, EveryKeyWithEveryType) {
  const std::pair<const char*, json> values[] = {
      {"null", nullptr},
      {"true", true},
      {"false", false},
      {"zero", 0},
      {"int", 3},
      {"negative", -2},
      {"float", 4.9},
      {"negative float", -2.5},
      {"huge float", 1e300},
      {"string", "3"},
      {"empty string", ""},
      {"array", json::array({1, "a"})},
      {"empty array", json::array()},
      {"object", json{{"a", 1}}},
      {"empty object", json::object()},
  };
  const char* const keys[] = {"log_interval", "privacy_mode",   "batched_rows", "nested",
                              "nested_mode",  "key_by_overlay", "criteria",     "aggregator",
                              "format",       "compressor",     "sinks"};
  for (const char* key : keys) {
    for (const auto& value : values) {
      SCOPED_TRACE(std::string(key) + " = " + value.first);
      PluginFixture fixture(KnownConf());
      kppPlugin& plugin = fixture.plugin();
      json conf = KnownConf();
      conf.erase("privacy_mode");
      conf[key] = value.second;
      std::string error;
      try {
        fixture.Configure(conf);
      } catch (const std::exception& e) {
        error = e.what();
      }
      const std::string k = key;
      const json& v = value.second;

      // Numbers: converted to 32 unsigned bits; anything else (and an unusable float) skipped.
      auto number = [&](uint64_t previous) -> uint64_t {
        if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
        if (v.is_number_integer()) return static_cast<uint32_t>(v.get<int64_t>());
        if (v.is_number_float() && v.get<double>() < 1e18)
          return static_cast<uint32_t>(static_cast<int64_t>(v.get<double>()));
        return previous;
      };
      EXPECT_EQ(plugin.GetLogInterval(), k == "log_interval" ? number(77) : 77);
      EXPECT_EQ(plugin.GetBatchedRows(), k == "batched_rows" ? number(5) : 5);
      uint64_t type = k == "aggregator" ? number(3) : 3;
      EXPECT_EQ(plugin.GetAggregator(), type >= 1 && type <= 8 ? type : 3);

      uint32_t flags = 0;
      if (v == true) {
        if (k == "privacy_mode") flags = kppPlugin::FLAG_PRIVACY;
        if (k == "nested" || k == "nested_mode") flags = kppPlugin::FLAG_NESTED;
        if (k == "key_by_overlay") flags = kppPlugin::FLAG_KEY_BY_OVERLAY;
      }
      EXPECT_EQ(plugin.GetFlags(), flags);

      const bool string_list = v.is_array() && std::all_of(v.begin(), v.end(), [](const json& e) {
                                 return e.is_string();
                               });
      EXPECT_EQ(plugin.GetCriteria(), k == "criteria" && string_list
                                          ? std::vector<std::string>()
                                          : std::vector<std::string>{"ip_protocol == 6"});

      std::string expected_error;
      if ((k == "format" || k == "compressor") && v.is_string())
        expected_error = "void kppChannelConfig::Load(const string&, const json&): defaults: " + k +
                         ": Invalid argument";
      if (k == "sinks" && !v.is_object())
        expected_error = "[json.exception.type_error.302] type must be object, but is " +
                         std::string(v.type_name());
      if (k == "sinks" && v == json{{"a", 1}})
        expected_error = "[json.exception.type_error.302] type must be object, but is number";
      EXPECT_EQ(error, expected_error);
    }
  }
}

TEST(HostileConfiguration, ChannelSettingsOfEveryType) {
  const json values[] = {nullptr, true,          false,         0, -1, 2.5, "",
                         "JSON",  json::array(), json::object()};
  for (const json& value : values) {
    SCOPED_TRACE(value.dump());
    for (const char* member : {"enable", "format", "compressor"}) {
      PluginFixture fixture(json{{"format", "msgpack"}});
      std::string error;
      try {
        fixture.Configure({{"sinks", {{"sink", {{"ch", {{member, value}}}}}}}});
      } catch (const std::exception& e) {
        error = e.what();
      }
      const kppChannelMap& channels = fixture.plugin().GetChannels();
      if (std::string(member) == "enable") {
        EXPECT_EQ(error, "");
        EXPECT_EQ(channels.count("sink"), value == false ? 0u : 1u);
      } else if (value.is_string()) {
        EXPECT_EQ(error, std::string("void kppChannelConfig::Load(const string&, const json&): "
                                     "ch: ") +
                             member + ": Invalid argument");
      } else {
        EXPECT_EQ(error, "");
        ASSERT_EQ(channels.count("sink"), 1u);
        EXPECT_EQ(channels.at("sink").at("ch").format, kppChannelConfig::FORMAT_MSGPACK);
        EXPECT_EQ(channels.at("sink").at("ch").compressor, kppChannelConfig::COMPRESSOR_NONE);
      }
    }
  }
}

// Names reach the host exactly as written: what a name may mean on disk is the sink's concern.
TEST(HostileConfiguration, ChannelAndSinkNamesPassThroughUnchanged) {
  const std::set<std::string> sinks = {"../sink", "s\n"};
  const std::set<std::string> channels = {
      "../escape",           "a/b",         "/abs",      "",
      "\x01\x1f\x7f",        "line\nbreak", "tab\there", std::string("nul\0x", 5),
      std::string(4096, 'n')};
  json table = json::object();
  for (const std::string& sink : sinks) {
    for (const std::string& channel : channels) table[sink][channel] = json::object();
  }
  PluginFixture fixture(json{{"sinks", table}});
  fixture.plugin().InsertOrMerge(kppRecordTypeOf(1)->from_flow(fixture.settings(), MakeFlow()));
  SinkCapture capture;
  fixture.plugin().ProcessStatsPayload();

  std::vector<std::string> seen;
  for (const auto& dispatch : capture.Dispatches())
    seen.push_back(dispatch.sink + "|" + dispatch.channel);
  std::vector<std::string> expected;
  for (const std::string& sink : sinks) {
    for (const std::string& channel : channels) expected.push_back(sink + "|" + channel);
  }
  EXPECT_EQ(seen, expected);
}

// The parser accepts only UTF-8: a name in another encoding is a clear error, not a strange
// channel.
TEST(HostileConfiguration, NamesThatAreNotUtf8AreRefused) {
  PluginFixture fixture(KnownConf());
  std::string error;
  try {
    fixture.ConfigureText("{\"sinks\": {\"s\": {\"\xff\xfe\": {}}}}");
  } catch (const std::exception& e) {
    error = e.what();
  }
  EXPECT_EQ(error.rfind("test: " + fixture.conf_path() + ": JSON exception: ", 0), 0u) << error;
  EXPECT_EQ(fixture.plugin().GetChannels().count("sink"), 1u);
}

// Flows with every attribute at an extreme: zeros and empty strings, addresses never set, no
// interface record, maxima everywhere, counters that wrap, digest lists empty and huge, names
// of a megabyte, control characters and bytes that are not UTF-8. All carry a translated
// address, so that type 7 takes them too.
std::vector<std::shared_ptr<kdFlow>> ExtremeFlows() {
  std::vector<std::shared_ptr<kdFlow>> flows;
  for (uint8_t endpoint_map : {0, 1, 2, 255}) {
    auto empty = std::make_shared<kdFlow>();
    empty->dpi_complete = true;
    empty->endpoint_map = endpoint_map;
    empty->packets_a = 1;
    empty->nat_addr = Addr("203.0.113.1");
    flows.push_back(empty);
  }

  auto max = MakeFlow();
  max->iface->name = std::string(65536, 'i');
  max->iface->index = kMax32 - 1;
  max->iface->capture_type = kMax32;
  max->iface->role = 255;
  max->endpoint_map = 255;
  max->origin = 255;
  max->other_type = 255;
  max->ip_version = 255;
  max->ip_protocol = 255;
  max->vlan_id = 65535;
  max->mac_a = Addr("ff:ff:ff:ff:ff:ff");
  max->addr_a = Addr("255.255.255.255", 65535);
  max->addr_b = Addr("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535);
  max->nat_addr = Addr("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535);
  max->bytes_a = max->bytes_b = kMax64;
  max->packets_a = max->packets_b = kMax32;
  max->digests = {kMax64};
  max->flow_digest = kMax64;
  max->flow_ifindex = kMax32 - 1;
  max->first_seen_ms = max->last_seen_ms = kMax64;
  max->closed = true;
  max->detected_protocol = max->detected_application = kMax32;
  max->application_category = max->protocol_category = kMax32;
  flows.push_back(max);
  for (uint8_t endpoint_map : {0, 1, 2}) {
    auto copy = std::make_shared<kdFlow>(*max);
    copy->endpoint_map = endpoint_map;
    flows.push_back(copy);
    flows.push_back(copy);  // the same key twice: the 64-bit byte counters wrap in the merge
  }

  auto names = MakeFlow();
  const std::string megabyte(1 << 20, 'h');
  std::string hostile = "\x01\n\t\"\\/\x7f\xff\xfe";
  hostile += '\0';
  names->host_name = megabyte;
  names->preferred_host_name = hostile;
  names->detected_application_name = megabyte + hostile;
  names->detected_protocol_name = hostile + megabyte;
  names->iface->name = hostile;
  names->tags = {"", hostile, megabyte};
  for (int i = 0; i < 1000; ++i) names->tags.insert("tag" + std::to_string(i));
  names->digests.assign(100000, 7);
  for (size_t i = 0; i < names->digests.size(); ++i) names->digests[i] = i * 0x9e3779b97f4a7c15ull;
  names->nat_addr = Addr("64:ff9b::c000:207", 1);
  flows.push_back(names);

  auto bare = MakeFlow();
  bare->iface = nullptr;
  bare->digests.clear();
  bare->host_name.clear();
  bare->detected_application_name.clear();
  bare->nat_addr = Addr("::", 0);
  bare->packets_a = 0;  // one side silent
  flows.push_back(bare);
  return flows;
}

kdPacketStats ExtremeStats(uint64_t value) {
  kdPacketStats stats;
  for (const char* name : {"raw",
                           "ethernet",
                           "mpls",
                           "pppoe",
                           "vlan",
                           "fragmented",
                           "discarded",
                           "ip",
                           "ip4",
                           "ip6",
                           "icmp",
                           "igmp",
                           "tcp",
                           "tcp_seq_errors",
                           "tcp_resets",
                           "udp",
                           "ip_bytes",
                           "ip4_bytes",
                           "ip6_bytes",
                           "wire_bytes",
                           "discarded_bytes",
                           "queue_dropped",
                           "capture_dropped",
                           "capture_filtered",
                           "flow_dropped",
                           "flow_evicted"})
    *stats.CounterByName(name) = value;
  stats.largest_bytes = static_cast<uint32_t>(value);
  return stats;
}

// Every record in a payload's "stats": the rows of a flat array or the leaves of a nested tree.
// Every record type writes a packet count, and no path level here is named like one.
size_t CountRecords(const json& node) {
  if (node.is_object() && (node.contains("packets") || node.contains("local_packets"))) return 1;
  size_t n = 0;
  if (node.is_object() || node.is_array()) {
    for (const json& child : node) n += CountRecords(child);
  }
  return n;
}

TEST(HostileFlows, EveryAttributeAtItsExtremesForEveryTypeAndForm) {
  // Type 7 looks access points up through the host instance.
  kdInstance instance;
  const auto flows = ExtremeFlows();
  for (uint32_t type = 1; type <= 8; ++type) {
    for (uint32_t mode = 0; mode < 4; ++mode) {
      const bool nested = (mode & 1) != 0, privacy = (mode & 2) != 0;
      SCOPED_TRACE("type " + std::to_string(type) + (nested ? " nested" : " flat") +
                   (privacy ? " private" : ""));
      PluginFixture fixture(ConfWithSink({{"aggregator", type},
                                          {"nested", nested},
                                          {"privacy_mode", privacy},
                                          {"key_by_overlay", privacy},
                                          {"batched_rows", 3}}));
      kppPlugin& plugin = fixture.plugin();
      LogCapture log;
      if (type == 7) {
        for (auto flow : flows) {
          for (auto event :
               {kdPluginProcessor::EVENT_FLOW_DPI_COMPLETE, kdPluginProcessor::EVENT_FLOW_EXPIRE})
            plugin.DispatchProcessorEvent(event, flow);
        }
      } else {
        fixture.Deliver(flows);
      }
      for (const std::string& iface :
           {std::string(), std::string(1 << 16, 'e'), std::string("eth0")}) {
        for (uint64_t value : {uint64_t{0}, kMax64}) {
          kdPacketStats stats = ExtremeStats(value);
          plugin.DispatchProcessorEvent(kdPluginProcessor::EVENT_PKT_GLOBAL_STATS, iface, &stats);
        }
      }
      const size_t samples = plugin.GetSampleCount();
      ASSERT_GT(samples, 0u);

      SinkCapture sink;
      ASSERT_NO_THROW(plugin.ProcessStatsPayload());
      EXPECT_EQ(plugin.GetSampleCount(), 0u);
      EXPECT_FALSE(log.Contains("failed"));
      size_t records = 0;
      for (const auto& dispatch : sink.Dispatches()) {
        // Names that are not UTF-8 are the sink's to encode; the payload itself is whole.
        EXPECT_NO_THROW(dispatch.payload.dump(-1, ' ', false, json::error_handler_t::replace));
        records += type == 7 ? 1 : CountRecords(dispatch.payload["stats"]);
      }
      // Flat rows: one per sample. Nested leaves: samples meeting on one path share a leaf, and
      // a position beyond the array limit (types 4 and 8) leaves the record out, with a line.
      if (!nested || type == 7) {
        EXPECT_EQ(records, samples);
      } else {
        EXPECT_GT(records, 0u);
        EXPECT_LE(records, samples);
        EXPECT_EQ(log.Contains("nested record(s) skipped"), type == 4 || type == 8);
      }
    }
  }
}

TEST(HostileFlows, CountersWrapWithoutLosingTheSample) {
  auto flow = MakeFlow();
  flow->bytes_a = flow->bytes_b = kMax64;
  flow->packets_a = flow->packets_b = kMax32;
  for (uint32_t type : {1u, 2u, 4u, 5u, 8u}) {
    SCOPED_TRACE("type " + std::to_string(type));
    PluginFixture fixture(ConfWithSink({{"aggregator", type}}));
    fixture.Deliver({flow, flow});
    auto payloads = fixture.Payloads();
    ASSERT_EQ(payloads.size(), 1u);
    ASSERT_EQ(payloads[0]["stats"].size(), 1u);
    const json& row = payloads[0]["stats"][0];
    // Each flow: both byte totals 2^64 - 1; packets (2^32 - 1) * 2 wrapped to 2^32 - 2.
    const uint64_t bytes = kMax64 - 1;  // two of them, wrapped
    if (type == 5) {
      EXPECT_EQ(row["local_bytes"], bytes);
      EXPECT_EQ(row["other_bytes"], bytes);
      EXPECT_EQ(row["local_packets"], kMax32 - 1);
      EXPECT_EQ(row["other_packets"], kMax32 - 1);
    } else {
      const char* sent = type == 2 ? "local_bytes" : "upload";
      const char* received = type == 2 ? "other_bytes" : "download";
      EXPECT_EQ(row[sent], bytes);
      EXPECT_EQ(row[received], bytes);
      EXPECT_EQ(row["packets"], kMax32 - 3);
    }
  }
}

// The worker while its file is replaced, removed, turned into a directory or a dangling link,
// or half written: each failure is logged, the settings stay, and reporting goes on.
TEST(HostileConfiguration, FileChangingUnderTheRunningWorker) {
  LogCapture log;
  SinkCapture sink;
  TempDir dir;
  const std::string path = dir.File("conf.json");
  auto replace = [&](const std::string& text) {
    dir.Write("next.json", text);
    ASSERT_EQ(rename(dir.File("next.json").c_str(), path.c_str()), 0);
  };
  replace(ConfWithSink({{"log_interval", 0}, {"aggregator", 2}}).dump());
  auto plugin = std::make_unique<kppPlugin>("run", kdPluginParameters{{"conf_filename", path}});
  plugin->Create();
  ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #2"); }));

  // Asks for a reload and waits until it has been applied or has failed.
  auto reload = [&] {
    const size_t done = log.Count("run: Using aggregator #") + log.Count("reload failed");
    plugin->DispatchEvent(kdPlugin::EVENT_RELOAD);
    return WaitFor(
        [&] { return log.Count("run: Using aggregator #") + log.Count("reload failed") > done; });
  };
  // A flow delivered now is reported.
  auto reports = [&] {
    const size_t before = sink.Size();
    plugin->ProcessFlows(MakeFlowMap({MakeFlow()}).get());
    return WaitFor([&] { return sink.Size() > before; });
  };

  replace(ConfWithSink({{"log_interval", 0}, {"aggregator", 2}, {"nested", true}}).dump());
  ASSERT_TRUE(reload());
  EXPECT_EQ(plugin->GetFlags(), kppPlugin::FLAG_NESTED);

  struct Hostile {
    const char* what;
    std::function<void()> make;
    std::string error;
  };
  const Hostile cases[] = {
      {"removed", [&] { unlink(path.c_str()); }, ": No such file or directory"},
      {"a directory", [&] { mkdir(path.c_str(), 0700); }, ": Is a directory"},
      {"a dangling link",
       [&] {
         rmdir(path.c_str());
         symlink(dir.File("nowhere").c_str(), path.c_str());
       },
       ": No such file or directory"},
      {"a link to itself",
       [&] {
         unlink(path.c_str());
         symlink(path.c_str(), path.c_str());
       },
       ": Too many levels of symbolic links"},
      {"half written",
       [&] {
         unlink(path.c_str());
         dir.Write("conf.json", R"({"aggregator": 8, "nest)");
       },
       ": JSON exception: "},
  };
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string failure = "run: configuration reload failed: run: " + path + c.error;
    const size_t before = log.Count(failure);
    c.make();
    ASSERT_TRUE(reload());
    EXPECT_EQ(log.Count(failure), before + 1);
    EXPECT_EQ(plugin->GetFlags(), kppPlugin::FLAG_NESTED);
    EXPECT_EQ(plugin->GetAggregator(), 2u);
    EXPECT_TRUE(reports());
  }

  replace(ConfWithSink({{"log_interval", 0}, {"aggregator", 8}}).dump());
  ASSERT_TRUE(reload());
  EXPECT_EQ(plugin->GetAggregator(), 8u);
  EXPECT_EQ(plugin->GetFlags(), 0u);
  EXPECT_TRUE(reports());
  plugin->Terminate();
  plugin.reset();
  EXPECT_FALSE(log.Contains("thread ended"));
}

// A sink that throws loses its own copy only: the other channels get every payload, the pass
// empties the table, and the worker goes on reporting.
TEST(HostileSink, ThrowingSinkLosesOnlyItsOwnCopy) {
  for (bool standard : {true, false}) {
    SCOPED_TRACE(standard ? "standard exception" : "other exception");
    LogCapture log;
    const json conf =
        ConfWithSink({{"log_interval", 0},
                      {"batched_rows", 1},
                      {"sinks", {{"a", {{"1", {}}, {"bad", {}}, {"z", {}}}}, {"b", {{"c", {}}}}}}});
    // Registered first, so the capture behind it never sees the refused copy.
    const uint64_t thrower = kdSinkRegistry::AddObserver(
        [standard](const std::string&, const std::set<std::string>& channels, const json&,
                   uint32_t) {
          if (channels.count("bad") == 0) return;
          if (standard) throw std::runtime_error("disk full");
          throw 42;
        });
    SinkCapture sink;
    TempDir dir;
    const std::string path = dir.Write("conf.json", conf.dump());
    {
      kppPlugin plugin("run", {{"conf_filename", path}});
      plugin.Create();
      ASSERT_TRUE(WaitFor([&] { return log.Contains("run: Using aggregator #1"); }));
      for (int round = 1; round <= 3; ++round) {
        auto other = MakeFlow();
        other->detected_protocol = 7;
        plugin.ProcessFlows(MakeFlowMap({MakeFlow(), other}).get());
        // Two payloads of one row, each to three good channels.
        EXPECT_TRUE(WaitFor([&] { return sink.Size() == 6u * round; })) << "round " << round;
        EXPECT_TRUE(
            WaitFor([&] { return log.Count("run: dispatch to a/bad failed: ") == 2u * round; }));
      }
      plugin.Terminate();
    }
    kdSinkRegistry::RemoveObserver(thrower);
    EXPECT_TRUE(log.Contains(standard ? "run: dispatch to a/bad failed: disk full"
                                      : "run: dispatch to a/bad failed: unknown exception"));
    EXPECT_FALSE(log.Contains("thread ended"));
    EXPECT_FALSE(log.Contains("payload pass failed"));
  }
}

}  // namespace
