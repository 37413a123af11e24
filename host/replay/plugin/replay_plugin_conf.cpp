#include "replay_plugin_conf.h"

#include <fstream>
#include <iterator>

namespace kdreplay {

PluginConf PluginConf::Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  PluginConf conf;
  conf.read_ = true;
  // Comments allowed, as the plugin allows them.
  conf.document_ = nlohmann::json::parse(text, nullptr, false, true);
  return conf;
}

uint64_t PluginConf::ReportInterval() const {
  if (!document_.is_object()) return 0;
  auto interval = document_.find("log_interval");
  if (interval == document_.end() || !interval->is_number_unsigned()) return 0;
  return interval->get<uint64_t>();
}

}  // namespace kdreplay
