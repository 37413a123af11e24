// kafka:BROKERS/TOPIC — one message per payload on a Kafka topic, through librdkafka.
//
// The message value is the payload encoded as the dispatch flags say (replay_payload_encoding.h),
// its key "SINK/CHANNEL", its timestamp the payload's "log_time_start" (in milliseconds; the
// time of sending for the NAT session log, which has none), its header "flags" the dispatch
// flags in decimal, so that a consumer of a shared topic can decode it, and its headers "run_id"
// and "probe" the run's identity (when it has one). A topic keeps no list of runs: a consumer
// tells a second replay of the same input by its run ID.
//
// Messages are queued and sent in the background; while the brokers are unreachable they wait
// in librdkafka's queue (its queue.buffering.max.* properties bound it) and the run goes on. A
// payload that does not fit is dropped, reported and counted. Close flushes and waits at most
// flush_timeout for the delivery reports; every message not delivered by then is purged and
// counted, and the reasons librdkafka gives are reported.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "replay_payload_sink.h"
#include "replay_run_identity.h"

struct rd_kafka_s;

namespace kdreplay {

class KafkaSink : public PayloadSink {
 public:
  static constexpr std::chrono::milliseconds kFlushTimeout{15000};

  // properties: librdkafka configuration, applied in order after bootstrap.servers = brokers.
  KafkaSink(std::string brokers, std::string topic,
            std::vector<std::pair<std::string, std::string>> properties,
            std::chrono::milliseconds flush_timeout = kFlushTimeout, RunIdentity run = {});
  KafkaSink(const KafkaSink&) = delete;
  KafkaSink& operator=(const KafkaSink&) = delete;
  ~KafkaSink() override;

  // Creates the producer; false when librdkafka refuses a property. Does not wait for brokers.
  bool Open(std::string& error) override;
  bool Write(const std::string& sink, const std::string& channel, const nlohmann::json& payload,
             uint32_t flags, uint32_t record_type) override;
  uint64_t Close() override;
  void CountDeliveriesInto(SinkCounters& counters) override;

  // Called by librdkafka from its poll (in Write or Close): for every message, and for errors
  // such as all brokers being down (each reported once until a delivery succeeds).
  void OnDelivery(int error_code, const std::string& reason);
  void OnError(int error_code, const std::string& reason);

 private:
  const std::string brokers_;
  const std::string topic_;
  const std::vector<std::pair<std::string, std::string>> properties_;
  const std::chrono::milliseconds flush_timeout_;
  const RunIdentity run_;

  std::mutex produce_lock_;  // Write against Close
  rd_kafka_s* producer_ = nullptr;

  std::mutex report_lock_;                  // the counts below, updated from librdkafka's callbacks
  std::map<std::string, uint64_t> failed_;  // accepted but undelivered messages by reason
  std::map<std::string, uint64_t> dropped_;  // payloads not accepted, by reason
  std::set<int> errors_said_;                // error codes reported since the last delivery
  SinkCounters* counters_ = nullptr;         // set before Open
};

}  // namespace kdreplay
