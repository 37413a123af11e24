// Receives what the plugin dispatches (kdSinkRegistry) while attached, each dispatch with the
// record type the plugin names for it. The sinks, the summary and the CSV each hold one.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "replay_record_type.h"

namespace kdreplay {

class DispatchObserver {
 public:
  using Handler =
      std::function<void(const std::string& sink, const std::set<std::string>& channels,
                         const nlohmann::json& payload, uint32_t flags, uint32_t record_type)>;

  DispatchObserver() = default;
  DispatchObserver(const DispatchObserver&) = delete;
  DispatchObserver& operator=(const DispatchObserver&) = delete;
  ~DispatchObserver() { Detach(); }

  // Hands every dispatch to handler until Detach; record_type (when set) names each one's type.
  // A second Attach while attached does nothing.
  void Attach(RecordTypeSource record_type, Handler handler);
  void Detach();

 private:
  uint64_t id_ = 0;
  bool attached_ = false;
};

}  // namespace kdreplay
