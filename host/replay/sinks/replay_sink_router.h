// Routes what the plugin dispatches (kdSinkRegistry) to the sinks named on the command line:
// each sink either writes one line per dispatch to standard output,
//   {"channel": C, "flags": F, "payload": P, "sink": S}
// (the payload as JSON whatever the flags say; with pretty, the same object indented over several
// lines), or one file per dispatch into a directory, or into a PayloadSink (an SQLite database,
// a Kafka topic).
// Sinks not named go to standard output. A dispatch to several channels is written once per
// channel. Every sink that stores payloads keeps run's identity beside them. A payload that a
// dir: or sqlite: sink cannot store is reported, the first of each sink
// with its cause, and counted, and the run goes on; at Close every such sink (and a kafka: one)
// reports how many payloads it stored and lost. A line standard output refuses stops the run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "replay_dir_sink.h"
#include "replay_dispatch_observer.h"
#include "replay_line_writer.h"
#include "replay_payload_sink.h"
#include "replay_run_identity.h"
#include "replay_sink_target.h"

namespace kdreplay {

class PayloadRouter {
 public:
  PayloadRouter(const std::map<std::string, SinkTarget>& sinks, LineWriter& out,
                bool pretty = false,
                const std::vector<std::pair<std::string, std::string>>& kafka_properties = {},
                const RunIdentity& run = {});
  PayloadRouter(const PayloadRouter&) = delete;
  PayloadRouter& operator=(const PayloadRouter&) = delete;
  ~PayloadRouter();

  // Creates the sink directories (except those of the sinks in later, which are created when
  // a payload first arrives for them), opens the databases and producers. False with a reason
  // in error when one cannot be made.
  bool Prepare(std::string& error, const std::set<std::string>& later = {});
  // Called for each payload a sink channel stored (written to standard output or a file,
  // inserted, queued): what the summary and the CSV count. Set before Attach.
  using StoredHandler = std::function<void(const std::string& sink, const std::string& channel,
                                           const nlohmann::json& payload, uint32_t record_type)>;
  void OnStored(StoredHandler handler) { stored_handlers_.push_back(std::move(handler)); }

  // Starts and stops receiving dispatches; record_type says what each holds.
  void Attach(RecordTypeSource record_type = {});
  void Detach();

  // After Detach: completes what the sinks hold pending (Kafka deliveries) and counts what they
  // lost among the failures.
  void Close();

  // Payloads that could not be written.
  uint64_t failures() const;

  // Counts every sink's payloads, their bytes, and Kafka's deliveries, into counters (those the
  // metrics endpoint serves). Before Prepare; counters must outlive the router.
  void CountInto(RunCounters& counters);

  // One dispatch (the registry observer; public for tests).
  void Route(const std::string& sink, const std::set<std::string>& channels,
             const nlohmann::json& payload, uint32_t flags, uint32_t record_type);

 private:
  // Whether the line was written.
  bool WriteLine(const std::string& sink, const std::string& channel, const nlohmann::json& payload,
                 uint32_t flags);
  // Counts a payload a dir: sink or a store did or did not keep; reports a sink's first loss.
  void Count(const std::string& sink, const std::string& channel, bool stored,
             const std::string& error);

  LineWriter& out_;
  const bool pretty_;
  // Directory sinks by sink name; sinks sharing one directory share one DirectorySink.
  std::map<std::string, std::shared_ptr<DirectorySink>> directories_;
  // Databases and message buses by sink name.
  std::map<std::string, std::unique_ptr<PayloadSink>> stores_;
  DispatchObserver observer_;
  std::vector<StoredHandler> stored_handlers_;
  struct SinkCount {
    uint64_t stored = 0;
    uint64_t lost = 0;
  };
  std::map<std::string, SinkCount> counts_;  // dir:, sqlite: and kafka: sinks, by name
  mutable std::mutex lock_;
  uint64_t failures_ = 0;
  RunCounters* counters_ = nullptr;
};

}  // namespace kdreplay
