// The command line.
#include <gtest/gtest.h>

#include <sstream>

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
                     "--kafka-property=sasl.password=x=y", "--metrics", "localhost:0"},
                    options, error))
      << error;
  EXPECT_EQ(options.conf, "c.json");
  EXPECT_EQ(options.events, "-");
  EXPECT_EQ(options.tag, "aggregator");
  EXPECT_EQ(options.plugin, "");
  EXPECT_TRUE(options.debug);
  EXPECT_EQ(options.metrics, "localhost:0");
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
      {"--conf", "c", "--events", "e", "--summary", "--csv"},
      {"--conf", "c", "--events", "e", "--sort", "bytes"},  // no summary
      {"--conf", "c", "--events", "e", "--summary", "--sort", "size"},
      {"--conf", "c", "--events", "e", "--summary", "--top", "0"},
      {"--conf", "c", "--events", "e", "--from", "0"},  // --read only
      {"--read", "out", "--conf", "c"},
      {"--read", "out", "--csv", "--top", "3"},
      {"--read", "out", "--to", "2019-02-30x"},
      {"--conf", "c", "-r", "f.pcap", "--filter", "udp", "icmp"},  // a filter twice
      {"--conf", "c", "-r", "f.pcap", "udp", "--summary"},         // options after the filter
      {"--conf", "c", "--events", "e", "-c", "3"},                 // --count needs a capture
      {"--conf", "c", "-i", "eth0", "--duration", "0"},
      {"--conf", "c", "-r", "f.pcap", "--give-up", "600"},  // --live only
      {"--conf", "c", "-i", "eth0", "--give-up", "-1"},
      {"--conf", "c", "--events", "e", "--metrics", "9464"},  // ADDR:PORT
      {"--conf", "c", "--events", "e", "--metrics", ":9464"},
      {"--conf", "c", "--events", "e", "--metrics", "127.0.0.1:65536"},
      {"--read", "out", "--metrics", "127.0.0.1:9464"},
  };
  for (const auto& arguments : bad) {
    Options options;
    std::string error;
    EXPECT_FALSE(Parse(arguments, options, error)) << arguments.back();
    EXPECT_FALSE(error.empty());
  }
}

// tcpdump's habits: -i, -r and -c, and the filter as the trailing words, joined by blanks.
TEST(Options, TcpdumpHabits) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--conf", "c", "-i", "eth0", "-i", "eth1", "-c", "100", "--duration", "60",
                     "udp", "port", "53"},
                    options, error))
      << error;
  EXPECT_EQ(options.live, std::vector<std::string>({"eth0", "eth1"}));
  EXPECT_EQ(options.count, 100u);
  EXPECT_EQ(options.duration, 60u);
  EXPECT_EQ(options.filter, "udp port 53");
  Options files;
  ASSERT_TRUE(
      Parse({"--conf", "c", "-r", "a.pcap", "-r", "b.pcap", "not", "port", "22"}, files, error))
      << error;
  EXPECT_EQ(files.pcaps, std::vector<std::string>({"a.pcap", "b.pcap"}));
  EXPECT_EQ(files.filter, "not port 22");
}

TEST(Options, ReadBackTakesPathsTimesAndSummaryChoices) {
  Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--read", "a", "b.json", "--from", "2019-03-21 09:35", "c", "--to=1553162444",
                     "--top", "5", "--sort", "flows"},
                    options, error))
      << error;
  EXPECT_EQ(options.read, std::vector<std::string>({"a", "b.json", "c"}));
  EXPECT_EQ(options.from, 1553160900);
  EXPECT_EQ(options.to, 1553162444);
  EXPECT_EQ(options.top, 5u);
  EXPECT_EQ(options.order, kdreplay::SummaryOrder::kFlows);
  int64_t seconds = 0;
  EXPECT_TRUE(kdreplay::ParseTimeValue("2019-03-21T09:30:44", seconds));
  EXPECT_EQ(seconds, 1553160644);
  EXPECT_TRUE(kdreplay::ParseTimeValue("2019-03-21", seconds));
  EXPECT_EQ(seconds, 1553126400);
  EXPECT_FALSE(kdreplay::ParseTimeValue("yesterday", seconds));
  EXPECT_FALSE(kdreplay::ParseTimeValue("", seconds));
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

// --help and the parser read the same table: every option the usage lists is one the parser
// knows, by the name the usage gives it.
TEST(Options, EveryListedOptionIsParsed) {
  std::istringstream usage(kdreplay::UsageText());
  std::string line;
  int listed = 0;
  while (std::getline(usage, line)) {
    if (line.compare(0, 4, "  --") != 0) continue;
    ++listed;
    Options options;
    std::string error;
    const std::string name = line.substr(2, line.find_first_of(" ,", 2) - 2);
    Parse({name.c_str(), "x"}, options, error);
    EXPECT_EQ(error.find("unknown option"), std::string::npos) << name << ": " << error;
  }
  EXPECT_GT(listed, 20);
}

}  // namespace
