#include "replay_kafka_sink.h"

#include <librdkafka/rdkafka.h>

#include <utility>

#include "replay_json_fields.h"
#include "replay_payload_encoding.h"
#include "replay_report.h"

namespace kdreplay {

namespace {

using nlohmann::json;

void DeliveryReport(rd_kafka_t* /*producer*/, const rd_kafka_message_t* message, void* opaque) {
  static_cast<KafkaSink*>(opaque)->OnDelivery(message->err,
                                              message->err ? rd_kafka_err2str(message->err) : "");
}

void ErrorReport(rd_kafka_t* /*producer*/, int code, const char* reason, void* opaque) {
  static_cast<KafkaSink*>(opaque)->OnError(code, reason != nullptr ? reason : "");
}

rd_kafka_vu_t Value(rd_kafka_vtype_t type) {
  rd_kafka_vu_t value{};
  value.vtype = type;
  return value;
}

rd_kafka_vu_t Bytes(rd_kafka_vtype_t type, const std::string& bytes) {
  rd_kafka_vu_t value = Value(type);
  // librdkafka copies the bytes (RD_KAFKA_MSG_F_COPY) and never writes to them.
  value.u.mem.ptr = const_cast<char*>(bytes.data());
  value.u.mem.size = bytes.size();
  return value;
}

}  // namespace

KafkaSink::KafkaSink(std::string brokers, std::string topic,
                     std::vector<std::pair<std::string, std::string>> properties,
                     std::chrono::milliseconds flush_timeout, RunIdentity run)
    : brokers_(std::move(brokers)),
      topic_(std::move(topic)),
      properties_(std::move(properties)),
      flush_timeout_(flush_timeout),
      run_(std::move(run)) {}

KafkaSink::~KafkaSink() {
  Close();
}

bool KafkaSink::Open(std::string& error) {
  std::lock_guard<std::mutex> guard(produce_lock_);
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  char reason[512] = "";
  std::vector<std::pair<std::string, std::string>> settings = {{"bootstrap.servers", brokers_}};
  settings.insert(settings.end(), properties_.begin(), properties_.end());
  for (const auto& setting : settings) {
    if (rd_kafka_conf_set(conf, setting.first.c_str(), setting.second.c_str(), reason,
                          sizeof(reason)) != RD_KAFKA_CONF_OK) {
      error = "kafka property " + setting.first + ": " + reason;
      rd_kafka_conf_destroy(conf);
      return false;
    }
  }
  rd_kafka_conf_set_opaque(conf, this);
  rd_kafka_conf_set_dr_msg_cb(conf, DeliveryReport);
  rd_kafka_conf_set_error_cb(conf, ErrorReport);
  // Connection trouble comes through the error callback, once per change, instead of a log
  // line per attempt.
  rd_kafka_conf_set_log_cb(conf, nullptr);
  producer_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof(reason));
  if (producer_ == nullptr) {
    error = "kafka " + brokers_ + "/" + topic_ + ": " + reason;
    rd_kafka_conf_destroy(conf);
    return false;
  }
  return true;
}

bool KafkaSink::Write(const std::string& sink, const std::string& channel, const json& payload,
                      uint32_t flags, uint32_t /*record_type*/) {
  std::string reason;
  try {
    EncodedPayload encoded = EncodePayload(payload, flags);
    std::string key = sink + "/" + channel;
    std::string flag_text = std::to_string(flags);
    std::vector<rd_kafka_vu_t> values = {
        Value(RD_KAFKA_VTYPE_TOPIC), Value(RD_KAFKA_VTYPE_MSGFLAGS), Bytes(RD_KAFKA_VTYPE_KEY, key),
        Bytes(RD_KAFKA_VTYPE_VALUE, encoded.bytes), Value(RD_KAFKA_VTYPE_HEADER)};
    values[0].u.cstr = topic_.c_str();
    values[1].u.i = RD_KAFKA_MSG_F_COPY;
    values[4].u.header = {"flags", flag_text.data(), static_cast<ssize_t>(flag_text.size())};
    if (!run_.id.empty()) {
      for (const auto& [name, text] :
           {std::pair<const char*, const std::string*>{"run_id", &run_.id},
            {"probe", &run_.probe}}) {
        values.push_back(Value(RD_KAFKA_VTYPE_HEADER));
        values.back().u.header = {name, text->data(), static_cast<ssize_t>(text->size())};
      }
    }
    auto start = payload.find("log_time_start");
    if (start != payload.end() && start->is_number_integer()) {
      values.push_back(Value(RD_KAFKA_VTYPE_TIMESTAMP));
      values.back().u.i64 = start->get<int64_t>() * 1000;
    }
    std::lock_guard<std::mutex> guard(produce_lock_);
    if (producer_ == nullptr) {
      reason = "producer closed";
    } else {
      rd_kafka_error_t* failure = rd_kafka_produceva(producer_, values.data(), values.size());
      rd_kafka_poll(producer_, 0);  // serves the delivery reports that have arrived
      if (failure == nullptr) return true;
      reason = rd_kafka_err2str(rd_kafka_error_code(failure));
      rd_kafka_error_destroy(failure);
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  std::lock_guard<std::mutex> guard(report_lock_);
  // The first drop for each reason is said at once; the count of all follows at exit.
  if (dropped_[reason]++ == 0) {
    Report("sink %s channel %s: payload dropped, not queued for kafka %s/%s: %s",
           Describe(sink).c_str(), Describe(channel).c_str(), brokers_.c_str(), topic_.c_str(),
           reason.c_str());
  }
  return false;
}

void KafkaSink::OnDelivery(int error_code, const std::string& reason) {
  std::lock_guard<std::mutex> guard(report_lock_);
  if (error_code == 0) {
    errors_said_.clear();  // the brokers are back: say the next trouble again
  } else {
    ++failed_[reason];
  }
  if (counters_ != nullptr)
    (error_code == 0 ? counters_->kafka_delivered : counters_->kafka_failed)
        .fetch_add(1, std::memory_order_relaxed);
}

void KafkaSink::CountDeliveriesInto(SinkCounters& counters) {
  counters.kafka.store(true);
  counters_ = &counters;
}

void KafkaSink::OnError(int error_code, const std::string& reason) {
  std::lock_guard<std::mutex> guard(report_lock_);
  if (!errors_said_.insert(error_code).second) return;
  Report("kafka %s/%s: %s", brokers_.c_str(), topic_.c_str(), reason.c_str());
}

uint64_t KafkaSink::Close() {
  std::lock_guard<std::mutex> guard(produce_lock_);
  if (producer_ == nullptr) return 0;
  rd_kafka_flush(producer_, static_cast<int>(flush_timeout_.count()));
  int waiting = rd_kafka_outq_len(producer_);
  if (waiting > 0) {
    Report("kafka %s/%s: %d message(s) still undelivered after %lld ms; giving up on them",
           brokers_.c_str(), topic_.c_str(), waiting,
           static_cast<long long>(flush_timeout_.count()));
    // Purged messages get their delivery reports (with the purge as reason) from the next poll.
    rd_kafka_purge(producer_, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
    rd_kafka_flush(producer_, static_cast<int>(flush_timeout_.count()));
  }
  rd_kafka_destroy(producer_);
  producer_ = nullptr;

  std::lock_guard<std::mutex> counts(report_lock_);
  uint64_t lost = 0;
  for (const auto& failure : failed_) {
    Report("kafka %s/%s: %llu message(s) not delivered: %s", brokers_.c_str(), topic_.c_str(),
           static_cast<unsigned long long>(failure.second), failure.first.c_str());
    lost += failure.second;
  }
  for (const auto& drop : dropped_) {
    Report("kafka %s/%s: %llu payload(s) dropped, not queued: %s", brokers_.c_str(), topic_.c_str(),
           static_cast<unsigned long long>(drop.second), drop.first.c_str());
  }
  return lost;
}

}  // namespace kdreplay
