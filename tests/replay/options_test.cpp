// The command line.
#include <gtest/gtest.h>

#include "replay_options.h"

namespace {

using kdreplay::Options;
using kdreplay::SinkTarget;

bool Parse(std::vector<const char*> arguments, Options& options, std::string& error) {
  arguments.insert(arguments.begin(), "korvia-replay");
  return kdreplay::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), options,
                                    error);
}

TEST(Options, ValuesAsNextArgumentOrAfterEquals) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--conf", "c.json", "--events=-", "--sink", "a=dir:out/x", "--sink=b=stdout",
                     "--sink", "c=dir:with=equals", "--debug", "--sink", "d=sqlite:f.db", "--sink",
                     "e=kafka:h1:9092,h2:9092/a/flows", "--kafka-property", "acks=all",
                     "--kafka-property=sasl.password=x=y"},
                    options, error))
      << error;
  EXPECT_EQ(options.conf, "c.json");
  EXPECT_EQ(options.events, "-");
  EXPECT_EQ(options.tag, "aggregator");
  EXPECT_EQ(options.plugin, "");
  EXPECT_TRUE(options.debug);
  ASSERT_EQ(options.sinks.size(), 5u);
  EXPECT_EQ(options.sinks["a"].kind, SinkTarget::Kind::kDirectory);
  EXPECT_EQ(options.sinks["a"].path, "out/x");
  EXPECT_EQ(options.sinks["b"].kind, SinkTarget::Kind::kStdout);
  EXPECT_EQ(options.sinks["c"].path, "with=equals");
  EXPECT_EQ(options.sinks["d"].path, "f.db");
  EXPECT_EQ(options.sinks["e"].kind, SinkTarget::Kind::kKafka);
  EXPECT_EQ(options.sinks["e"].brokers, "h1:9092,h2:9092/a");
  EXPECT_EQ(options.sinks["e"].topic, "flows");
  using Property = std::pair<std::string, std::string>;
  EXPECT_EQ(options.kafka_properties,
            (std::vector<Property>{{"acks", "all"}, {"sasl.password", "x=y"}}));
}

TEST(Options, UsageErrors) {
  const std::vector<std::vector<const char*>> bad = {
      {"--events", "e"},
      {"--conf", "c"},
      {"--conf", "c", "--events"},
      {"--conf", "c", "--events", "e", "--sink", "noequals"},
      {"--conf", "c", "--events", "e", "--sink", "=stdout"},
      {"--conf", "c", "--events", "e", "--sink", "s=dir:"},
      {"--conf", "c", "--events", "e", "--sink", "s=kafka:host:9092"},
      {"--conf", "c", "--events", "e", "--sink", "s=kafka:/flows"},
      {"--conf", "c", "--events", "e", "--kafka-property", "acks"},
      {"--conf", "c", "--events", "e", "--sink", "s=stdout", "--sink", "s=dir:x"},
      {"--conf", "c", "--events", "e", "--tag", "a", "--tag", "b"},
      {"--conf", "", "--events", "e"},
      {"--conf", "c", "--events", "e", "-x"},
  };
  for (const auto& arguments : bad) {
    Options options;
    std::string error;
    EXPECT_FALSE(Parse(arguments, options, error)) << arguments.back();
    EXPECT_FALSE(error.empty());
  }
}

TEST(Options, HelpAndVersionNeedNothingElse) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--help", "--bogus"}, options, error));
  EXPECT_TRUE(options.help);
  Options version;
  ASSERT_TRUE(Parse({"--version"}, version, error));
  EXPECT_TRUE(version.version);
}

}  // namespace
