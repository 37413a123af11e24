// The kafka: sink target against librdkafka's in-process mock cluster, a broker that speaks the
// real protocol on a loopback port, read back by a real consumer: a cluster that stops mid-run,
// a full queue, and korvia-replay end to end in every encoding.
#include <gtest/gtest.h>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>

#include <chrono>
#include <fstream>
#include <map>

#include "korviad/kd_plugin.h"
#include "replay/replay_harness.h"
#include "replay_kafka_sink.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// Debian's librdkafka starts its threads with C11 thrd_create, which ThreadSanitizer does not
// follow: those threads crash at their first allocation. TSan builds leave these tests out.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

class MockCluster {
 public:
  MockCluster() {
    char reason[256];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set_log_cb(conf, nullptr);
    host_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof(reason));
    cluster_ = rd_kafka_mock_cluster_new(host_, 1);
    rd_kafka_mock_topic_create(cluster_, "flows", 1, 1);
  }
  ~MockCluster() {
    rd_kafka_mock_cluster_destroy(cluster_);
    rd_kafka_destroy(host_);
  }
  std::string brokers() const { return rd_kafka_mock_cluster_bootstraps(cluster_); }
  void Stop() { rd_kafka_mock_broker_set_down(cluster_, 1); }

 private:
  rd_kafka_t* host_ = nullptr;
  rd_kafka_mock_cluster_t* cluster_ = nullptr;
};

struct Message {
  std::string key;
  uint32_t flags = 0;
  std::map<std::string, std::string> run;  // the headers "run_id" and "probe"
  int64_t timestamp = 0;
  json payload;  // decoded as the flags say
};

// Reads count messages of topic "flows" from the start, waiting at most a minute.
std::vector<Message> Consume(const std::string& brokers, size_t count) {
  char reason[256];
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "bootstrap.servers", brokers.c_str(), reason, sizeof(reason));
  rd_kafka_conf_set(conf, "group.id", "test", reason, sizeof(reason));
  rd_kafka_conf_set_log_cb(conf, nullptr);
  rd_kafka_t* consumer = rd_kafka_new(RD_KAFKA_CONSUMER, conf, reason, sizeof(reason));
  rd_kafka_topic_partition_list_t* partitions = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(partitions, "flows", 0)->offset = RD_KAFKA_OFFSET_BEGINNING;
  rd_kafka_assign(consumer, partitions);
  rd_kafka_topic_partition_list_destroy(partitions);

  std::vector<Message> messages;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (messages.size() < count && std::chrono::steady_clock::now() < deadline) {
    rd_kafka_message_t* raw = rd_kafka_consumer_poll(consumer, 200);
    if (raw == nullptr) continue;
    if (raw->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
      Message message;
      message.key.assign(static_cast<const char*>(raw->key), raw->key_len);
      rd_kafka_headers_t* headers = nullptr;
      const void* flags = nullptr;
      size_t size = 0;
      if (rd_kafka_message_headers(raw, &headers) == RD_KAFKA_RESP_ERR_NO_ERROR &&
          rd_kafka_header_get_last(headers, "flags", &flags, &size) == RD_KAFKA_RESP_ERR_NO_ERROR)
        message.flags = std::stoul(std::string(static_cast<const char*>(flags), size));
      for (const char* name : {"run_id", "probe"}) {
        const void* value = nullptr;
        if (headers != nullptr &&
            rd_kafka_header_get_last(headers, name, &value, &size) == RD_KAFKA_RESP_ERR_NO_ERROR)
          message.run[name] = std::string(static_cast<const char*>(value), size);
      }
      message.timestamp = rd_kafka_message_timestamp(raw, nullptr);
      std::string bytes(static_cast<const char*>(raw->payload), raw->len);
      if (message.flags & kdPlugin::DF_COMPRESS_GZ) bytes = replay_testing::Gunzip(bytes);
      message.payload = (message.flags & kdPlugin::DF_FORMAT_MSGPACK) ? json::from_msgpack(bytes)
                                                                      : json::parse(bytes);
      messages.push_back(message);
    }
    rd_kafka_message_destroy(raw);
  }
  rd_kafka_consumer_close(consumer);
  rd_kafka_destroy(consumer);
  return messages;
}

json Payload(int start) {
  return {{"log_time_start", start}, {"stats", {{{"upload", start}}}}};
}

TEST(KafkaSink, QueuesWhileTheClusterIsDownAndReportsWhatWasLost) {
  if (kUnderThreadSanitizer) GTEST_SKIP() << "librdkafka's threads are invisible to TSan";
  MockCluster cluster;
  std::string error;
  kdreplay::KafkaSink sink(cluster.brokers(), "flows", {{"message.timeout.ms", "2000"}});
  kdreplay::SinkCounters counters;  // what /metrics serves
  sink.CountDeliveriesInto(counters);
  ASSERT_TRUE(sink.Open(error)) << error;
  ASSERT_TRUE(sink.Write("demo", "ch", Payload(1), 1, 1));
  ASSERT_EQ(Consume(cluster.brokers(), 1).size(), 1u);

  cluster.Stop();
  EXPECT_TRUE(sink.Write("demo", "ch", Payload(2), 1, 1));
  EXPECT_TRUE(sink.Write("demo", "ch", Payload(3), 1, 1));
  // A queue with room for one message: the second payload is dropped, and said to be.
  kdreplay::KafkaSink bounded(cluster.brokers(), "flows", {{"queue.buffering.max.messages", "1"}},
                              milliseconds(500));
  ASSERT_TRUE(bounded.Open(error)) << error;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(bounded.Write("demo", "ch", Payload(4), 1, 1));
  EXPECT_FALSE(bounded.Write("demo", "ch", Payload(5), 1, 1));
  EXPECT_EQ(bounded.Close(), 1u);
  // The first message's acknowledgement may still have been on its way when the cluster
  // stopped; then it is lost too.
  uint64_t lost = sink.Close();
  EXPECT_TRUE(lost == 2u || lost == 3u) << lost;
  EXPECT_EQ(counters.kafka_failed.load(), lost);
  EXPECT_EQ(counters.kafka_delivered.load(), 3u - lost);
  std::string said = testing::internal::GetCapturedStderr();
  for (const char* text : {"1 payload(s) dropped, not queued: Local: Queue full",
                           "/flows: 1 message(s) not delivered: Local: Purged in queue",
                           " message(s) not delivered: Local: Message timed out"})
    EXPECT_NE(said.find(text), std::string::npos) << said;
}

// One message per channel, each in its channel's encoding, checked against the payload that
// the same run printed; then a run whose message cannot be delivered fails.
TEST(KafkaSink, CarriesTheRunOfKorviaReplayInEveryEncoding) {
  if (kUnderThreadSanitizer) GTEST_SKIP() << "librdkafka's threads are invisible to TSan";
  MockCluster cluster;
  replay_testing::ReplayHarness h;
  const std::map<std::string, uint32_t> channels = {
      {"a", 0x01}, {"b", 0x02}, {"c", 0x04}, {"d", 0x21}, {"e", 0x24}};
  std::ifstream in(std::string(KORVIA_EXAMPLES_DIR) + "/records/type2.conf");
  json conf = json::parse(in, nullptr, true, true);
  conf["sinks"] = {{"copy", {{"records", json::object()}}},
                   {"demo",
                    {{"a", {{"format", "json"}}},
                     {"b", {{"format", "object"}}},
                     {"c", {{"format", "msgpack"}}},
                     {"d", {{"compressor", "gz"}}},
                     {"e", {{"format", "msgpack"}, {"compressor", "gz"}}}}}};
  h.SetConf(conf);
  h.SetScript(replay_testing::ReadFile(std::string(KORVIA_EXAMPLES_DIR) + "/records/flows.jsonl"));
  std::string target = "demo=kafka:" + cluster.brokers() + "/flows";
  auto result =
      h.Run({"--sink", target, "--kafka-property", "client.id=probe-7", "--probe", "edge-1"});
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(result.Dispatches().size(), 1u);
  json payload = result.Dispatches()[0]["payload"];
  std::vector<Message> messages = Consume(cluster.brokers(), channels.size());
  ASSERT_EQ(messages.size(), channels.size());
  auto message = messages.begin();
  for (const auto& [channel, flags] : channels) {
    EXPECT_EQ(message->key, "demo/" + channel);
    EXPECT_EQ(message->flags, flags);
    EXPECT_EQ(message->timestamp, payload["log_time_start"].get<int64_t>() * 1000);
    EXPECT_EQ(message->run["probe"], "edge-1");
    EXPECT_EQ(message->run["run_id"].size(), 36u);
    EXPECT_EQ(message->run["run_id"], messages[0].run["run_id"]);
    EXPECT_EQ((message++)->payload, payload) << channel;
  }

  cluster.Stop();
  result = h.Run({"--sink", target, "--kafka-property", "message.timeout.ms=500"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("5 message(s) not delivered: Local: Message timed out"),
            std::string::npos)
      << result.err;
}

}  // namespace
