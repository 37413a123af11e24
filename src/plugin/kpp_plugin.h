// The flow aggregator processor plugin.
//
// Threads: the host's threads deliver flows and events (DispatchProcessorEvent, ProcessFlows) and
// ask for status; the plugin's own worker thread (Entry) loads the configuration, runs a payload
// pass every log_interval seconds and a last one when told to terminate.
//
// Locks: the plugin lock (kdThread::Lock) guards the sample table and the settings a reload
// applies. Lock order: a flow-map bucket, then the plugin lock; status_lock, then the plugin lock.
// The plugin lock is never held while a payload is dispatched.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "korviad/korviad.h"
#include "kpp_aggregator.h"
#include "kpp_channel_config.h"
#include "kpp_record_settings.h"
#include "kpp_record_types.h"
#include "kpp_sample_table.h"

class kppPlugin : public kdPluginProcessor {
 public:
  static constexpr const char* kName = "Korvia Flow Aggregator Processor Plugin";
  static constexpr const char* kVersion = "1.2.8";
  static constexpr const char* kLibrary = "korvia-proc-aggregator";

  // Mode bits of GetFlags().
  static constexpr uint32_t FLAG_PRIVACY = kppRecordSettings::kPrivacy;
  static constexpr uint32_t FLAG_NESTED = kppRecordSettings::kNested;
  static constexpr uint32_t FLAG_KEY_BY_OVERLAY = kppRecordSettings::kKeyByOverlay;

  // Throws kdException when conf_filename is missing or empty, or the wake-up condition cannot
  // be made. Reads no configuration: the worker's first pass does.
  kppPlugin(const std::string& tag, const kdPluginParameters& parameters);
  // Wakes and joins the worker (the host has asked it to terminate).
  ~kppPlugin() override;

  void* Entry() override;

  void GetLibrary(std::string& library) override { library = kLibrary; }
  void GetName(std::string& name) override { name = kName; }
  void GetVersion(std::string& version) override { version = kVersion; }
  void GetStatus(nlohmann::json& status) override;
  void DisplayStatus(const nlohmann::json& status) override;
  // Event 0 asks for a reload; others are ignored.
  void DispatchEvent(kdPlugin::Event event, void* argument = nullptr) override;

  void DispatchProcessorEvent(kdPluginProcessor::Event event, kdFlowMap* flow_map) override;
  void DispatchProcessorEvent(kdPluginProcessor::Event event,
                              std::shared_ptr<kdFlow>& flow) override;
  void DispatchProcessorEvent(kdPluginProcessor::Event event, const std::string& iface,
                              kdPacketStats* stats) override;

  // Settings, as the last reload left them.
  uint32_t GetFlags() const { return flags.load(std::memory_order_relaxed); }
  // The flags as records take them.
  kppRecordSettings GetRecordSettings() const { return kppRecordSettings::FromFlags(GetFlags()); }
  uint32_t GetAggregator() const { return aggregator.load(); }
  int64_t GetLogInterval() const { return log_interval.load(); }
  uint32_t GetBatchedRows() const { return batched_rows.load(); }
  // The criteria list and its evaluator, read together under the plugin lock.
  std::vector<std::string> GetCriteria();
  // Worker thread only (or while the worker is not running).
  const kppChannelMap& GetChannels() const { return channels; }
  size_t GetSampleCount();

  // The worker's steps; public so that tests can drive them without the thread.
  // Reads conf_filename and applies it. Throws kdException (or the JSON library's type error
  // while building the channel table) on failure, leaving what was applied before the failure.
  void Reload();
  // Turns one flow-map snapshot into samples.
  void ProcessFlows(const kdFlowMap* flow_map);
  // Encodes and empties the sample table and dispatches the payloads.
  void ProcessStatsPayload();
  // Sends one payload to every channel, sinks and channels in ascending name order.
  void DispatchPayload(nlohmann::json& payload);

  enum class InsertResult { kNew, kMerged, kDropped };
  // Stores record as a new sample or merges it into the sample with its key. A record whose type
  // is no longer the configured one is dropped: the table only ever holds the configured type.
  InsertResult InsertOrMerge(std::shared_ptr<kppAggregator> record);
  // The same for the record of `type` that flow would build, whose key is key (from the type's
  // key_from_flow): merged straight from the flow when its sample exists; otherwise the record is
  // built outside the lock and stored with InsertOrMerge.
  InsertResult InsertOrMergeFlow(const kppRecordType& type, const std::string& key,
                                 const std::shared_ptr<kdFlow>& flow);

 private:
  // The worker's reload and payload pass: a failure is logged and the worker goes on, since the
  // host keeps delivering flows that only a running worker ever reports and releases.
  void ReloadLogged();
  void PayloadPassLogged();
  void WaitForWakeup();
  // Wakes the worker after a flow pass; cheap, and a wake-up it misses costs at most a second.
  void WakeWorker();
  // Wakes the worker for a terminate or reload request, under wakeup_lock so that it cannot be
  // missed by a worker about to wait.
  void SignalWorker();
  void BuildChannelTable(const nlohmann::json& sinks);
  // Encodes records into payloads and dispatches each as soon as it is complete; sent counts the
  // samples already dispatched, so that a caller catching a failure knows how many were lost.
  void SendPayloads(kppSampleTable::Records& records, time_t log_time_end, size_t& sent);

  std::atomic<bool> pending_reload{true};
  std::mutex status_lock;
  std::vector<std::string> criteria;
  // Evaluates criteria; present exactly when criteria is not empty, and made fresh by the reload
  // that installed them. Shared, so that a flow pass that took it keeps it alive across a reload
  // that replaces it.
  std::shared_ptr<kdFlowParser> flow_parser;
  std::atomic<uint32_t> flags{0};
  std::atomic<int64_t> log_interval{60};
  time_t log_time_start = 0;
  std::atomic<uint32_t> batched_rows{0};
  std::atomic<uint32_t> aggregator{1};
  pthread_cond_t wakeup_cond;
  pthread_mutex_t wakeup_lock;
  kppSampleTable samples;
  kppChannelConfig channel_defaults;
  kppChannelMap channels;
};

// The factory's check: keeps a plugin that recorded a plugin type of 1 or 2, logs and deletes any
// other. Returns the plugin or null.
kdPlugin* kppAcceptPlugin(kppPlugin* plugin);
