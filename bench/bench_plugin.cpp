#include "bench_plugin.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace kppbench {

using nlohmann::json;

BenchPlugin::BenchPlugin(const json& conf) {
  char pattern[] = "/tmp/kpp-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  path_ = dir_ + "/conf.json";
  kdLog::SetEcho(false);
  Configure(conf);
}

BenchPlugin::~BenchPlugin() {
  plugin_.reset();
  unlink(path_.c_str());
  rmdir(dir_.c_str());
}

void BenchPlugin::Configure(const json& conf) {
  conf_ = conf;
  {
    std::ofstream out(path_, std::ios::trunc);
    out << conf.dump();
  }
  if (!plugin_)
    plugin_ = std::make_unique<kppPlugin>("bench", kdPluginParameters{{"conf_filename", path_}});
  plugin_->Reload();
}

void BenchPlugin::DiscardSamples() {
  json conf = conf_;
  json other = conf;
  other["aggregator"] = conf.value("aggregator", 1u) == 1u ? 2u : 1u;
  Configure(other);
  Configure(conf);
}

json BenchConf(uint32_t type, bool privacy, bool nested) {
  return json{{"aggregator", type},
              {"privacy_mode", privacy},
              {"nested", nested},
              {"log_interval", 3600},
              {"sinks", {{"bench", {{"json", {{"format", "json"}}}}}}}};
}

}  // namespace kppbench
