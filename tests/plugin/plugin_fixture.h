// A plugin on a scratch configuration file, driven without its thread.
#pragma once

#include <memory>
#include <string>

#include "kpp_plugin.h"
#include "test_support.h"

namespace testing_support {

class PluginFixture {
 public:
  // Writes conf (a JSON value) as the configuration and applies it with Reload().
  explicit PluginFixture(const json& conf = json::object()) {
    path_ = dir_.Write("conf.json", conf.dump());
    plugin_ = std::make_unique<kppPlugin>("test", kdPluginParameters{{"conf_filename", path_}});
    plugin_->Reload();
  }

  kppPlugin& plugin() { return *plugin_; }
  // The settings records are built with under the current configuration.
  kppRecordSettings settings() const { return plugin_->GetRecordSettings(); }
  const std::string& conf_path() const { return path_; }

  // Rewrites the configuration and reloads it.
  void Configure(const json& conf) { ConfigureText(conf.dump()); }
  void ConfigureText(const std::string& text) {
    dir_.Write("conf.json", text);
    plugin_->Reload();
  }

  // Delivers one flow-map snapshot of flows.
  void Deliver(const std::vector<std::shared_ptr<kdFlow>>& flows) {
    auto map = MakeFlowMap(flows);
    plugin_->DispatchProcessorEvent(kdPluginProcessor::EVENT_FLOW_MAP, map.get());
  }

  // Runs a payload pass with one sink "sink" and channel "ch" configured by the caller's
  // configuration; returns the payloads dispatched to it.
  std::vector<json> Payloads() {
    SinkCapture sink;
    plugin_->ProcessStatsPayload();
    std::vector<json> out;
    for (const auto& dispatch : sink.Dispatches()) out.push_back(dispatch.payload);
    return out;
  }

 private:
  TempDir dir_;
  std::string path_;
  std::unique_ptr<kppPlugin> plugin_;
};

// A configuration with one sink channel, plus the given extra keys.
inline json ConfWithSink(json extra = json::object()) {
  json conf = {{"sinks", {{"sink", {{"ch", json::object()}}}}}};
  for (auto it = extra.begin(); it != extra.end(); ++it) conf[it.key()] = it.value();
  return conf;
}

}  // namespace testing_support
