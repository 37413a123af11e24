// The plugin object: construction, destruction, host events, event intake and status.
#include "kpp_plugin.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

kdPlugin* kppAcceptPlugin(kppPlugin* plugin) {
  uint32_t type = plugin->GetType();
  if (type == kdPlugin::TYPE_SINK || type == kdPlugin::TYPE_PROCESSOR) return plugin;
  kd_printf("Invalid plugin type: %s [%u]\n", plugin->GetTag().c_str(), type);
  delete plugin;
  return nullptr;
}

kppPlugin::kppPlugin(const std::string& tag, const kdPluginParameters& parameters)
    : kdPluginProcessor(tag, parameters) {
  if (conf_filename.empty())
    throw kdException("%s: %s: %s", tag.c_str(), "conf_filename", strerror(EINVAL));

  pthread_condattr_t attr;
  int rc = pthread_condattr_init(&attr);
  if (rc == 0) rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (rc == 0) {
    rc = pthread_cond_init(&wakeup_cond, &attr);
    pthread_condattr_destroy(&attr);
  }
  if (rc != 0) throw kdException("%s: %s: %s", tag.c_str(), "pthread_cond_init", strerror(rc));

  rc = pthread_mutex_init(&wakeup_lock, nullptr);
  if (rc != 0) {
    pthread_cond_destroy(&wakeup_cond);
    throw kdException("%s: %s: %s", tag.c_str(), "pthread_mutex_init", strerror(rc));
  }
  kd_dprintf("%s: initialized\n", tag.c_str());
}

kppPlugin::~kppPlugin() {
  // A host that forgot to terminate the thread would otherwise wait here for ever.
  Terminate();
  SignalWorker();
  try {
    Join();
  } catch (const std::exception& e) {
    kd_printf("%s: %s\n", tag.c_str(), e.what());
  }
  pthread_cond_destroy(&wakeup_cond);
  pthread_mutex_destroy(&wakeup_lock);
  kd_dprintf("%s: destroyed\n", tag.c_str());
}

void kppPlugin::DispatchEvent(kdPlugin::Event event, void* /*argument*/) {
  if (event != kdPlugin::EVENT_RELOAD) return;
  pending_reload.store(true);
  // Wake the worker so that the reload comes now rather than at its next timed wake-up.
  SignalWorker();
}

std::vector<std::string> kppPlugin::GetCriteria() {
  kdThread::Guard guard(*this);
  return criteria;
}

size_t kppPlugin::GetSampleCount() {
  kdThread::Guard guard(*this);
  return samples.size();
}

kppPlugin::InsertResult kppPlugin::InsertOrMerge(std::shared_ptr<kppAggregator> record) {
  kdThread::Guard guard(*this);
  // Read under the lock: a reload changes the type and clears the table under it, so this test
  // and the table agree.
  if (record->Type() != aggregator.load()) return InsertResult::kDropped;
  kppAggregator* stored = samples.Find(record->GetKey());
  if (stored == nullptr) {
    samples.Insert(std::move(record));
    return InsertResult::kNew;
  }
  stored->MergeFrom(*record);
  return InsertResult::kMerged;
}

kppPlugin::InsertResult kppPlugin::InsertOrMergeFlow(const kppRecordType& type,
                                                     const std::string& key,
                                                     const std::shared_ptr<kdFlow>& flow) {
  {
    kdThread::Guard guard(*this);
    if (type.number != aggregator.load()) return InsertResult::kDropped;
    if (kppAggregator* stored = samples.Find(key)) {
      type.add_flow(*stored, *flow);
      return InsertResult::kMerged;
    }
  }
  // A new key. Should another thread store it meanwhile, InsertOrMerge merges into that sample;
  // should a reload change the type, it drops the record.
  const kppRecordSettings settings = GetRecordSettings();
  return InsertOrMerge(type.from_flow(settings, flow));
}

void kppPlugin::DispatchProcessorEvent(kdPluginProcessor::Event event, kdFlowMap* flow_map) {
  if ((static_cast<uint32_t>(event) & 0xFFFF) != kdPluginProcessor::EVENT_FLOW_MAP) return;
  if (flow_map == nullptr) return;
  ProcessFlows(flow_map);
}

void kppPlugin::DispatchProcessorEvent(kdPluginProcessor::Event event,
                                       std::shared_ptr<kdFlow>& flow) {
  const kppRecordType* type = kppRecordTypeOf(aggregator.load());
  if (type == nullptr || type->from_flow_event == nullptr) return;
  uint32_t value = static_cast<uint32_t>(event) & 0xFFFF;
  if (value != kdPluginProcessor::EVENT_FLOW_DPI_COMPLETE &&
      value != kdPluginProcessor::EVENT_FLOW_EXPIRE)
    return;
  const kppRecordSettings settings = GetRecordSettings();
  auto record = type->from_flow_event(settings, flow);
  if (record) InsertOrMerge(std::move(record));
}

void kppPlugin::DispatchProcessorEvent(kdPluginProcessor::Event /*event*/, const std::string& iface,
                                       kdPacketStats* stats) {
  const kppRecordType* type = kppRecordTypeOf(aggregator.load());
  if (type == nullptr || type->from_stats_event == nullptr) return;
  if (stats == nullptr) return;
  const kppRecordSettings settings = GetRecordSettings();
  auto record = type->from_stats_event(settings, iface, *stats);
  if (record) InsertOrMerge(std::move(record));
}

void kppPlugin::GetStatus(nlohmann::json& status) {
  std::lock_guard<std::mutex> guard(status_lock);
  status["aggregator"] = aggregator.load();
  status["samples"] = GetSampleCount();
}

namespace {

// An unsigned member of status as 32 bits; anything else counts as 0.
uint32_t StatusValue(const nlohmann::json& status, const char* name) {
  if (!status.is_object()) return 0;
  auto it = status.find(name);
  if (it == status.end() || !it->is_number_unsigned()) return 0;
  return static_cast<uint32_t>(it->get<uint64_t>());
}

}  // namespace

void kppPlugin::DisplayStatus(const nlohmann::json& status) {
  printf("%s aggregator #%u\n", kdTerm::Icon::INFO, StatusValue(status, "aggregator"));
  printf("%s samples: %u\n", kdTerm::Icon::INFO, StatusValue(status, "samples"));
}
