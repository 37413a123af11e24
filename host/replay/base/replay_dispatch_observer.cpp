#include "replay_dispatch_observer.h"

#include "korviad/kd_plugin.h"

namespace kdreplay {

void DispatchObserver::Attach(RecordTypeSource record_type, Handler handler) {
  if (attached_) return;
  id_ = kdSinkRegistry::AddObserver(
      [record_type = std::move(record_type), handler = std::move(handler)](
          const std::string& sink, const std::set<std::string>& channels,
          const nlohmann::json& payload, uint32_t flags) {
        handler(sink, channels, payload, flags, record_type ? record_type() : 0);
      });
  attached_ = true;
}

void DispatchObserver::Detach() {
  if (!attached_) return;
  kdSinkRegistry::RemoveObserver(id_);
  attached_ = false;
}

}  // namespace kdreplay
