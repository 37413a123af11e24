// Reading and applying the configuration file.
#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "test_record.h"

namespace {

using namespace testing_support;

std::string ReloadError(PluginFixture& fixture, const std::string& text) {
  try {
    fixture.ConfigureText(text);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Configuration, EmptyObjectClearsFlagsAndChannelsAndKeepsTheRest) {
  LogCapture log;
  PluginFixture fixture(json{{"log_interval", 5},
                             {"batched_rows", 3},
                             {"privacy_mode", true},
                             {"nested", true},
                             {"key_by_overlay", true},
                             {"aggregator", 4},
                             {"criteria", json::array()},
                             {"sinks", {{"s", {{"c", json::object()}}}}}});
  kppPlugin& plugin = fixture.plugin();
  EXPECT_EQ(plugin.GetFlags(), 7u);
  EXPECT_EQ(plugin.GetChannels().size(), 1u);
  fixture.ConfigureText("{}");
  EXPECT_EQ(plugin.GetFlags(), 0u);
  EXPECT_TRUE(plugin.GetChannels().empty());
  EXPECT_EQ(plugin.GetLogInterval(), 5);
  EXPECT_EQ(plugin.GetBatchedRows(), 3u);
  EXPECT_EQ(plugin.GetAggregator(), 4u);
  EXPECT_EQ(log.Count("test: Using aggregator #4"), 2u);
  EXPECT_TRUE(log.Contains("test: Loading configuration: " + fixture.conf_path()));
}

TEST(Configuration, CommentsAroundTheDocument) {
  PluginFixture fixture;
  fixture.ConfigureText(
      "// leading comment\n/* block */ {\"log_interval\": 7 /* inner */}\n// trailing\n/* end */");
  EXPECT_EQ(fixture.plugin().GetLogInterval(), 7);
}

TEST(Configuration, FlagKeys) {
  PluginFixture fixture;
  kppPlugin& plugin = fixture.plugin();
  fixture.Configure({{"nested", false}, {"nested_mode", true}});
  EXPECT_EQ(plugin.GetFlags(), kppPlugin::FLAG_NESTED);
  fixture.Configure({{"privacy_mode", 1}, {"nested", "yes"}, {"key_by_overlay", true}});
  EXPECT_EQ(plugin.GetFlags(), kppPlugin::FLAG_KEY_BY_OVERLAY);
}

TEST(Configuration, NumberConversions) {
  struct Case {
    const char* value;
    int64_t log_interval;
  };
  const Case cases[] = {
      {"0", 0},     {"-1", 4294967295}, {"\"60\"", 30}, {"true", 1},
      {"false", 0}, {"4294967296", 0},  {"12.9", 12},   {"-1.5", 4294967295},
      {"null", 30}, {"[1]", 30},        {"1e300", 30},
  };
  for (const Case& c : cases) {
    PluginFixture fixture(json{{"log_interval", 30}});
    fixture.ConfigureText(std::string("{\"log_interval\": ") + c.value + "}");
    EXPECT_EQ(fixture.plugin().GetLogInterval(), c.log_interval) << c.value;
  }
  PluginFixture fixture;
  fixture.ConfigureText(R"({"batched_rows": 2.5})");
  EXPECT_EQ(fixture.plugin().GetBatchedRows(), 2u);
}

TEST(Configuration, AggregatorSelection) {
  LogCapture log;
  PluginFixture fixture;
  kppPlugin& plugin = fixture.plugin();
  for (const char* ignored : {"9", "0", "\"3\"", "-1", "null"}) {
    fixture.ConfigureText(std::string("{\"aggregator\": ") + ignored + "}");
    EXPECT_EQ(plugin.GetAggregator(), 1u) << ignored;
  }
  fixture.ConfigureText(R"({"aggregator": 3.7})");
  EXPECT_EQ(plugin.GetAggregator(), 3u);
  EXPECT_FALSE(log.Contains("Aggregator changed"));

  plugin.InsertOrMerge(Record(plugin, "x"));
  fixture.Configure({{"aggregator", 3}});
  EXPECT_EQ(plugin.GetSampleCount(), 1u);
  fixture.Configure({{"aggregator", 2}});
  EXPECT_EQ(log.Count("test: Aggregator changed, clearing samples."), 1u);
  EXPECT_EQ(plugin.GetSampleCount(), 0u);
  fixture.Configure({{"aggregator", 5}});
  EXPECT_EQ(log.Count("Aggregator changed"), 1u);
}

TEST(Configuration, CriteriaListReplacedOnlyByAStringArray) {
  PluginFixture fixture(json{{"criteria", {"ip_protocol == 6"}}});
  kppPlugin& plugin = fixture.plugin();
  EXPECT_EQ(plugin.GetCriteria(), std::vector<std::string>{"ip_protocol == 6"});
  fixture.Configure({{"criteria", {"ip_protocol == 17", 5}}});
  EXPECT_EQ(plugin.GetCriteria(), std::vector<std::string>{"ip_protocol == 6"});
  fixture.Configure(json::object());
  EXPECT_EQ(plugin.GetCriteria(), std::vector<std::string>{"ip_protocol == 6"});
  fixture.Configure({{"criteria", json::array()}});
  EXPECT_TRUE(plugin.GetCriteria().empty());
}

TEST(Configuration, UnparsableCriteriaRefuseTheFile) {
  PluginFixture fixture(json{{"criteria", {"ip_protocol == 6"}}, {"log_interval", 9}});
  std::string error =
      ReloadError(fixture, R"({"criteria": ["ip_protocol =="], "log_interval": 1})");
  // The expression the parser refused is named, with the parser's reason.
  EXPECT_NE(error.find("test: " + fixture.conf_path() +
                       ": criteria: \"ip_protocol ==\": criteria: position 15: "),
            std::string::npos)
      << error;
  EXPECT_EQ(fixture.plugin().GetCriteria(), std::vector<std::string>{"ip_protocol == 6"});
  EXPECT_EQ(fixture.plugin().GetLogInterval(), 9);
}

TEST(Configuration, FileErrorsNameTheRealCause) {
  PluginFixture fixture(json{{"privacy_mode", true}, {"log_interval", 9}});
  kppPlugin missing("test", {{"conf_filename", "/nonexistent/conf.json"}});
  try {
    missing.Reload();
    FAIL();
  } catch (const kdException& e) {
    EXPECT_STREQ(e.what(), "test: /nonexistent/conf.json: No such file or directory");
  }
  kppPlugin not_a_directory("test", {{"conf_filename", "/etc/hostname/conf.json"}});
  EXPECT_THROW(
      {
        try {
          not_a_directory.Reload();
        } catch (const kdException& e) {
          EXPECT_STREQ(e.what(), "test: /etc/hostname/conf.json: Not a directory");
          throw;
        }
      },
      kdException);
  TempDir dir;
  kppPlugin directory("test", {{"conf_filename", dir.path()}});
  EXPECT_THROW(
      {
        try {
          directory.Reload();
        } catch (const kdException& e) {
          EXPECT_EQ(std::string(e.what()), "test: " + dir.path() + ": Is a directory");
          throw;
        }
      },
      kdException);
}

TEST(Configuration, BrokenFileKeepsEverySetting) {
  PluginFixture fixture(json{{"privacy_mode", true}, {"nested", true}, {"log_interval", 9}});
  for (const char* text : {"", "{", "{\"a\": 1} x", "[1, 2"}) {
    std::string error = ReloadError(fixture, text);
    EXPECT_EQ(error.rfind("test: " + fixture.conf_path() + ": JSON exception: ", 0), 0u) << error;
    EXPECT_EQ(fixture.plugin().GetFlags(), kppPlugin::FLAG_PRIVACY | kppPlugin::FLAG_NESTED);
    EXPECT_EQ(fixture.plugin().GetLogInterval(), 9);
  }
}

TEST(Configuration, ChannelTable) {
  PluginFixture fixture;
  kppPlugin& plugin = fixture.plugin();
  fixture.ConfigureText(R"({
    "format": "msgpack",
    "sinks": {
      "b": {"x": {"enable": false}},
      "a": {"off": {"enable": false}, "on": {"enable": true, "compressor": "gz"},
            "null": null, "false": false, "string": {"enable": "no", "format": 3}}
    }})");
  const kppChannelMap& channels = plugin.GetChannels();
  ASSERT_EQ(channels.size(), 1u) << "a sink with no enabled channel is absent";
  const auto& a = channels.at("a");
  EXPECT_EQ(a.count("off"), 0u);
  for (const char* name : {"on", "null", "false", "string"}) {
    ASSERT_EQ(a.count(name), 1u) << name;
    EXPECT_EQ(a.at(name).format, kppChannelConfig::FORMAT_MSGPACK) << name;
  }
  EXPECT_EQ(a.at("on").compressor, kppChannelConfig::COMPRESSOR_GZ);
  EXPECT_EQ(a.at("null").compressor, kppChannelConfig::COMPRESSOR_NONE);

  // The defaults outlive a file that does not name them.
  fixture.ConfigureText(R"({"sinks": {"s": {"c": {}}}})");
  EXPECT_EQ(plugin.GetChannels().at("s").at("c").format, kppChannelConfig::FORMAT_MSGPACK);
}

TEST(Configuration, ChannelTableFailuresKeepWhatWasBuilt) {
  PluginFixture fixture(json{{"sinks", {{"old", {{"c", json::object()}}}}}});
  kppPlugin& plugin = fixture.plugin();

  std::string error = ReloadError(fixture, R"({"sinks": []})");
  EXPECT_EQ(error, "[json.exception.type_error.302] type must be object, but is array");
  EXPECT_TRUE(plugin.GetChannels().empty());

  error = ReloadError(fixture, R"({"sinks": {"a": {"c1": {}, "c2": {"format": "JSON"}, "c3": {}},
                                             "b": {"c": {}}}})");
  EXPECT_EQ(
      error,
      "void kppChannelConfig::Load(const string&, const json&): c2: format: Invalid argument");
  ASSERT_EQ(plugin.GetChannels().size(), 1u);
  EXPECT_EQ(plugin.GetChannels().at("a").size(), 1u);
  EXPECT_EQ(plugin.GetChannels().at("a").count("c1"), 1u);

  error = ReloadError(fixture, R"({"sinks": {"a": {"c": {}}, "b": 5}})");
  EXPECT_EQ(error, "[json.exception.type_error.302] type must be object, but is number");
  EXPECT_EQ(plugin.GetChannels().size(), 1u);

  // A bad top-level default leaves the previous table alone.
  fixture.Configure({{"sinks", {{"s", {{"c", json::object()}}}}}});
  error = ReloadError(fixture, R"({"compressor": "zip", "sinks": {}})");
  EXPECT_EQ(error,
            "void kppChannelConfig::Load(const string&, const json&): defaults: compressor: "
            "Invalid argument");
  EXPECT_EQ(plugin.GetChannels().size(), 1u);
}

TEST(ChannelConfig, LoadAndFlags) {
  kppChannelConfig config;
  config.Load("c", json::object());
  EXPECT_EQ(config.GetDispatchFlags().bits(), 0x01u);
  config.Load("c", "not an object");
  EXPECT_EQ(config.GetDispatchFlags().bits(), 0x01u);
  config.Load("c", {{"format", 3}, {"compressor", true}});
  EXPECT_EQ(config.GetDispatchFlags().bits(), 0x01u);
  config.Load("c", {{"format", "object"}, {"compressor", "gz"}});
  EXPECT_EQ(config.GetDispatchFlags().bits(), 0x22u);
  config.Load("c", {{"format", "msgpack"}});
  EXPECT_EQ(config.GetDispatchFlags().bits(), 0x24u);
  config.Load("c", {{"compressor", "none"}, {"format", "json"}});
  EXPECT_EQ(config.GetDispatchFlags().bits(), 0x01u);

  // A bad format stops before the compressor is read.
  EXPECT_THROW(config.Load("c", {{"format", "xml"}, {"compressor", "gz"}}), kdException);
  EXPECT_EQ(config.compressor, kppChannelConfig::COMPRESSOR_NONE);
  // A bad compressor comes after a good format was taken.
  EXPECT_THROW(config.Load("c", {{"format", "msgpack"}, {"compressor", "GZ"}}), kdException);
  EXPECT_EQ(config.format, kppChannelConfig::FORMAT_MSGPACK);
}

}  // namespace
