#include "replay_runner.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "korviad/kd_plugin.h"
#include "replay_report.h"
#include "replay_signals.h"

namespace kdreplay {

namespace {

const char* const kFirstLoad = "first configuration load";

}  // namespace

PluginRunner::PluginRunner(kdInstance& instance, LineWriter& status_out, const std::string& tag)
    : instance_(instance), status_out_(status_out), tag_(tag), watcher_(tag) {}

PluginRunner::~PluginRunner() {
  Stop();
}

bool PluginRunner::Start(const std::string& plugin_path, const std::string& conf_path,
                         std::string& error) {
  // The loader and the plugin's own set-up report by throwing.
  try {
    loader_ = std::make_unique<kdPluginLoader>(plugin_path, tag_,
                                               kdPluginParameters{{"conf_filename", conf_path}});
    // The plugin is built with a pending reload: its first pass loads the configuration.
    uint64_t finished = watcher_.Finished();
    {
      SignalsBlocked blocked;
      loader_->Start();
    }
    if (AwaitReload(kFirstLoad, finished) != ReloadWatcher::Outcome::kFailed) {
      std::lock_guard<std::mutex> guard(running_lock_);
      running_ = true;
      return true;
    }
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  error = conf_path + ": " + kLoadFailed;
  return false;
}

void PluginRunner::Stop() {
  {
    std::lock_guard<std::mutex> guard(running_lock_);
    running_ = false;
  }
  if (loader_) loader_->Stop();
  loader_.reset();
}

uint32_t PluginRunner::RecordType() const {
  kdPlugin* plugin = loader_ ? loader_->GetPlugin() : nullptr;
  if (plugin == nullptr) return 0;
  nlohmann::json status = nlohmann::json::object();
  plugin->GetStatus(status);
  auto type = status.find("aggregator");
  if (type == status.end() || !type->is_number_unsigned()) return 0;
  return static_cast<uint32_t>(type->get<uint64_t>());
}

bool PluginRunner::Samples(uint64_t& samples) const {
  nlohmann::json status = nlohmann::json::object();
  try {
    std::lock_guard<std::mutex> guard(running_lock_);
    if (!running_) return false;
    loader_->GetPlugin()->GetStatus(status);
  } catch (const std::exception&) {
    return false;  // a scrape is no place to report it: the status line will
  }
  auto found = status.find("samples");
  if (found == status.end() || !found->is_number_unsigned()) return false;
  samples = found->get<uint64_t>();
  return true;
}

bool PluginRunner::HadPluginErrors() const {
  return errors_ || watcher_.Failures() > 0;
}

template <typename Call>
void PluginRunner::Guarded(const std::string& where, Call call) {
  try {
    call();
  } catch (const std::exception& e) {
    Report("%s: the plugin raised an exception: %s", where.c_str(), e.what());
    errors_ = true;
  } catch (...) {
    Report("%s: the plugin raised an unknown exception", where.c_str());
    errors_ = true;
  }
}

ReloadWatcher::Outcome PluginRunner::AwaitReload(const std::string& where, uint64_t finished) {
  ReloadWatcher::Outcome outcome = watcher_.WaitAfter(finished, kReloadTimeout);
  if (counters_ != nullptr && where != kFirstLoad)
    (outcome == ReloadWatcher::Outcome::kLoaded ? counters_->reloads_succeeded
                                                : counters_->reloads_failed)
        .fetch_add(1, std::memory_order_relaxed);
  switch (outcome) {
    case ReloadWatcher::Outcome::kLoaded:
      break;
    case ReloadWatcher::Outcome::kFailed:
      // The first load's failure ends the run with a message of its own.
      if (where != kFirstLoad)
        Report("%s: the plugin's configuration reload failed", where.c_str());
      break;
    case ReloadWatcher::Outcome::kThreadEnded:
      Report("%s: the plugin's thread has ended", where.c_str());
      errors_ = true;
      return outcome;
    case ReloadWatcher::Outcome::kTimedOut:
      Report("%s: the plugin did not finish reloading within %lld s; going on", where.c_str(),
             static_cast<long long>(kReloadTimeout.count()));
      errors_ = true;
      return outcome;
  }
  // The reload logs its line while it still applies settings under the plugin lock; taking the
  // lock once makes sure it has finished before the next event arrives.
  kdThread::Guard settled(*loader_->GetPlugin());
  return outcome;
}

void PluginRunner::DeliverFlowMap(const std::string& where, kdFlowMap& map, uint32_t value) {
  Guarded(where, [&] {
    loader_->GetPlugin()->DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(value),
                                                 &map);
  });
}

void PluginRunner::DeliverFlow(const std::string& where, std::shared_ptr<kdFlow> flow,
                               uint32_t value) {
  Guarded(where, [&] {
    loader_->GetPlugin()->DispatchProcessorEvent(static_cast<kdPluginProcessor::Event>(value),
                                                 flow);
  });
}

void PluginRunner::DeliverStats(const std::string& where, const std::string& iface,
                                kdPacketStats& stats) {
  // The event value is the host's statistics event; the plugin does not examine it.
  Guarded(where, [&] {
    loader_->GetPlugin()->DispatchProcessorEvent(kdPluginProcessor::EVENT_PKT_GLOBAL_STATS, iface,
                                                 &stats);
  });
}

void PluginRunner::Reload(const std::string& where) {
  // Counted before the event is sent: the plugin may finish the reload before this call returns.
  uint64_t finished = watcher_.Finished();
  bool sent = false;
  Guarded(where, [&] {
    loader_->GetPlugin()->DispatchEvent(kdPlugin::EVENT_RELOAD);
    sent = true;
  });
  if (sent) AwaitReload(where, finished);
}

void PluginRunner::SetLinkAddress(uint32_t index, const kdAddr* mac) {
  if (mac != nullptr) {
    instance_.addr_lookup.SetLinkAddress(index, *mac);
  } else {
    instance_.addr_lookup.RemoveLinkAddress(index);
  }
}

void PluginRunner::WriteStatus(const std::string& where) {
  nlohmann::json status = nlohmann::json::object();
  bool filled = false;
  Guarded(where, [&] {
    loader_->GetPlugin()->GetStatus(status);
    filled = true;
  });
  if (!filled) return;
  nlohmann::json line = {{"status", status}};
  if (!status_out_.Write(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)))
    StopForOutputFailure(where + ": cannot write the status line to standard output: " +
                             strerror(status_out_.last_error()),
                         status_out_.last_error());
}

}  // namespace kdreplay
