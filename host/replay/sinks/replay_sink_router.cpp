#include "replay_sink_router.h"

#include <algorithm>

#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "korviad/kd_plugin.h"
#include "replay_json_fields.h"
#include "replay_kafka_sink.h"
#include "replay_payload_encoding.h"
#include "replay_report.h"
#include "replay_signals.h"
#include "replay_sqlite_sink.h"

namespace kdreplay {

using nlohmann::json;

PayloadRouter::PayloadRouter(
    const std::map<std::string, SinkTarget>& sinks, LineWriter& out, bool pretty,
    const std::vector<std::pair<std::string, std::string>>& kafka_properties,
    const RunIdentity& run)
    : out_(out), pretty_(pretty) {
  for (const auto& [name, target] : sinks) {
    if (target.kind != SinkTarget::Kind::kStdout) counts_[name];  // each reports at Close
    if (target.kind == SinkTarget::Kind::kDirectory)
      directories_[name] = std::make_shared<DirectorySink>(target.path, run);
    if (target.kind == SinkTarget::Kind::kSqlite)
      stores_[name] = std::make_unique<SqliteSink>(target.path, run);
    if (target.kind == SinkTarget::Kind::kKafka)
      stores_[name] = std::make_unique<KafkaSink>(target.brokers, target.topic, kafka_properties,
                                                  KafkaSink::kFlushTimeout, run);
  }
}

PayloadRouter::~PayloadRouter() {
  Detach();
}

bool PayloadRouter::Prepare(std::string& error, const std::set<std::string>& later) {
  // One writer per directory, whatever the spelling of its path, so that file numbering (and
  // thereby the guarantee that no file is overwritten) covers every sink writing there.
  std::map<std::pair<dev_t, ino_t>, std::shared_ptr<DirectorySink>> by_identity;
  for (auto& entry : directories_) {
    if (later.count(entry.first) > 0) continue;
    if (!entry.second->Prepare(error)) {
      error = "sink " + Describe(entry.first) + ": " + error;
      return false;
    }
    struct stat info;
    if (stat(entry.second->path().c_str(), &info) != 0) continue;
    auto inserted = by_identity.emplace(std::make_pair(info.st_dev, info.st_ino), entry.second);
    if (!inserted.second) entry.second = inserted.first->second;
  }
  for (auto& entry : stores_) {
    if (!entry.second->Open(error)) {
      error = "sink " + Describe(entry.first) + ": " + error;
      return false;
    }
  }
  return true;
}

void PayloadRouter::Close() {
  std::map<std::string, uint64_t> lost_later;  // accepted, then lost (kafka: undelivered)
  for (auto& entry : stores_) lost_later[entry.first] = entry.second->Close();
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [sink, lost] : lost_later) {
    SinkCount& count = counts_[sink];
    count.stored -= std::min(count.stored, lost);
    count.lost += lost;
    failures_ += lost;
  }
  for (const auto& [sink, count] : counts_) {
    Report("sink %s: %llu payload(s) stored, %llu lost", Describe(sink).c_str(),
           static_cast<unsigned long long>(count.stored),
           static_cast<unsigned long long>(count.lost));
  }
}

void PayloadRouter::Attach(RecordTypeSource record_type) {
  observer_.Attach(
      std::move(record_type),
      [this](const std::string& sink, const std::set<std::string>& channels, const json& payload,
             uint32_t flags, uint32_t type) { Route(sink, channels, payload, flags, type); });
}

void PayloadRouter::Detach() {
  observer_.Detach();
}

void PayloadRouter::CountInto(RunCounters& counters) {
  counters_ = &counters;
  for (auto& entry : stores_) entry.second->CountDeliveriesInto(counters.Sink(entry.first));
}

uint64_t PayloadRouter::failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

bool PayloadRouter::WriteLine(const std::string& sink, const std::string& channel,
                              const json& payload, uint32_t flags) {
  bool written;
  if (pretty_) {
    json whole = {{"channel", channel}, {"flags", flags}, {"payload", payload}, {"sink", sink}};
    written = out_.Write(whole.dump(2, ' ', false, json::error_handler_t::replace));
  } else {
    // Written member by member (in the JSON library's key order) straight to the stream: a
    // flood's payload is never held as text.
    written = out_.WriteWith([&](FILE* out) {
      std::string head = "{\"channel\":";
      AppendJsonText(head, channel);
      head += ",\"flags\":" + std::to_string(flags) + ",\"payload\":";
      fwrite(head.data(), 1, head.size(), out);
      WriteJsonText(out, payload);
      std::string tail = ",\"sink\":";
      AppendJsonText(tail, sink);
      tail += '}';
      fwrite(tail.data(), 1, tail.size(), out);
    });
  }
  if (!written) {
    StopForOutputFailure("sink " + Describe(sink) + " channel " + Describe(channel) +
                             ": cannot write to standard output: " + strerror(out_.last_error()),
                         out_.last_error());
    std::lock_guard<std::mutex> guard(lock_);
    ++failures_;
  }
  return written;
}

void PayloadRouter::Count(const std::string& sink, const std::string& channel, bool stored,
                          const std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  SinkCount& count = counts_[sink];
  if (stored) {
    ++count.stored;
    return;
  }
  // A full disk fails every later payload the same way: the first says why, the rest count.
  if (count.lost++ == 0 && !error.empty())
    Report("sink %s channel %s: payload not written: %s; the run goes on, counting what is lost",
           Describe(sink).c_str(), Describe(channel).c_str(), error.c_str());
  ++failures_;
}

void PayloadRouter::Route(const std::string& sink, const std::set<std::string>& channels,
                          const json& payload, uint32_t flags, uint32_t record_type) {
  // An exception would travel back into the plugin's payload pass: everything is caught here.
  try {
    // A dispatch to no channel at all is still written, under the empty channel name.
    std::set<std::string> targets = channels.empty() ? std::set<std::string>{""} : channels;
    SinkCounters* counters = counters_ != nullptr ? &counters_->Sink(sink) : nullptr;
    const uint64_t bytes = counters != nullptr ? JsonTextSize(payload) : 0;
    auto directory = directories_.find(sink);
    std::string error;
    auto store = stores_.find(sink);
    for (const std::string& channel : targets) {
      bool stored = false;
      if (store != stores_.end()) {
        // A store reports its own failures, in its own terms.
        stored = store->second->Write(sink, channel, payload, flags, record_type);
        Count(sink, channel, stored, "");
      } else if (directory == directories_.end()) {
        stored = WriteLine(sink, channel, payload, flags);
      } else {
        stored = directory->second->Write(sink, channel, payload, flags, record_type, error);
        Count(sink, channel, stored, error);
      }
      if (counters != nullptr) {
        (stored ? counters->payloads : counters->failed_payloads)
            .fetch_add(1, std::memory_order_relaxed);
        (stored ? counters->bytes : counters->failed_bytes)
            .fetch_add(bytes, std::memory_order_relaxed);
      }
      if (stored) {
        for (const StoredHandler& handler : stored_handlers_)
          handler(sink, channel, payload, record_type);
      }
    }
  } catch (const std::exception& e) {
    if (counters_ != nullptr)
      counters_->Sink(sink).failed_payloads.fetch_add(1, std::memory_order_relaxed);
    Count(sink, "", false, e.what());
  }
}

}  // namespace kdreplay
