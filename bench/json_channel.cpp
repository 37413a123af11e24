#include "json_channel.h"

#include "korviad/kd_plugin.h"

namespace kppbench {

using nlohmann::json;

std::string SerialisePayload(const json& payload) {
  std::string text = payload.dump(-1, ' ', false, json::error_handler_t::replace);
  text += '\n';
  return text;
}

JsonChannel::JsonChannel(bool keep) : keep_(keep) {
  id_ = kdSinkRegistry::AddObserver(
      [this](const std::string&, const std::set<std::string>&, const json& payload, uint32_t) {
        const std::string text = SerialisePayload(payload);
        ++payloads_;
        bytes_ += text.size();
        if (keep_) last_ = payload;
      });
}

JsonChannel::~JsonChannel() {
  kdSinkRegistry::RemoveObserver(id_);
}

}  // namespace kppbench
