// A plugin on a scratch configuration file, driven without its worker thread, for the
// benchmarks.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "kpp_plugin.h"

namespace kppbench {

class BenchPlugin {
 public:
  // conf is the configuration applied at once; the host's log lines are silenced.
  explicit BenchPlugin(const nlohmann::json& conf);
  ~BenchPlugin();
  BenchPlugin(const BenchPlugin&) = delete;
  BenchPlugin& operator=(const BenchPlugin&) = delete;

  kppPlugin& plugin() { return *plugin_; }
  void Configure(const nlohmann::json& conf);
  // Empties the sample table without a payload pass: a reload to another record type and back.
  void DiscardSamples();

 private:
  std::string dir_;
  std::string path_;
  nlohmann::json conf_;
  std::unique_ptr<kppPlugin> plugin_;
};

// A configuration of record type `type` with one json channel ("bench"/"json") and the given
// privacy and nested modes.
nlohmann::json BenchConf(uint32_t type, bool privacy, bool nested = false);

}  // namespace kppbench
