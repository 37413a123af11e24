// Runs one processor plugin the way the daemon does: loads it through the host loader, starts
// its thread, waits for its first configuration load, delivers events to it on the calling
// thread, and stops it. An exception that the plugin raises from an event is reported with the
// event's source position and the run goes on; the run then counts as having plugin errors.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "korviad/kd_instance.h"
#include "korviad/kd_loader.h"
#include "replay_counters.h"
#include "replay_event_target.h"
#include "replay_line_writer.h"
#include "replay_reload_watcher.h"

namespace kdreplay {

class PluginRunner : public EventTarget {
 public:
  // How long a reload may take before the run goes on without it.
  static constexpr std::chrono::seconds kReloadTimeout{10};
  // What a failed first load reports after the configuration file's name.
  static constexpr const char* kLoadFailed = "the plugin cannot load this configuration";

  PluginRunner(kdInstance& instance, LineWriter& status_out, const std::string& tag);
  PluginRunner(const PluginRunner&) = delete;
  PluginRunner& operator=(const PluginRunner&) = delete;
  ~PluginRunner() override;

  // Loads the plugin with parameter conf_filename = conf_path, starts its thread and waits for
  // its first configuration load. False, with the reason in error, when the loader refuses the
  // plugin, the thread cannot start or the first load fails (the plugin has logged why).
  bool Start(const std::string& plugin_path, const std::string& conf_path, std::string& error);
  // Terminates the plugin and deletes it: its last payload pass sends what it holds. Idempotent.
  void Stop();

  // Whether the plugin raised an exception, failed a reload or a payload pass, or did not
  // finish a reload in time.
  bool HadPluginErrors() const;

  // The record type the plugin's status names ("aggregator"), 0 when it names none or no plugin
  // runs. Safe from the plugin's own threads while it dispatches.
  uint32_t RecordType() const;

  // Counts the reloads after the first load into counters, by how they end; counters must
  // outlive the runner.
  void CountInto(RunCounters& counters) { counters_ = &counters; }
  // The "samples" of the plugin's status, from any thread; false when no plugin runs (before
  // Start's first load has ended, from Stop on) or its status has none.
  bool Samples(uint64_t& samples) const;

  void DeliverFlowMap(const std::string& where, kdFlowMap& map, uint32_t value) override;
  void DeliverFlow(const std::string& where, std::shared_ptr<kdFlow> flow, uint32_t value) override;
  void DeliverStats(const std::string& where, const std::string& iface,
                    kdPacketStats& stats) override;
  void Reload(const std::string& where) override;
  void SetLinkAddress(uint32_t index, const kdAddr* mac) override;
  void WriteStatus(const std::string& where) override;

 private:
  // Runs call, turning an exception from the plugin into a report and a plugin error.
  template <typename Call>
  void Guarded(const std::string& where, Call call);
  // Waits for the reload after finished to end; where names its cause for messages.
  ReloadWatcher::Outcome AwaitReload(const std::string& where, uint64_t finished);

  kdInstance& instance_;
  LineWriter& status_out_;
  std::string tag_;
  ReloadWatcher watcher_;
  std::unique_ptr<kdPluginLoader> loader_;
  bool errors_ = false;
  RunCounters* counters_ = nullptr;
  // Lets other threads ask the plugin for its status only while it runs; loader_ changes on
  // the host thread alone, and only while running_ is false.
  mutable std::mutex running_lock_;
  bool running_ = false;
};

}  // namespace kdreplay
