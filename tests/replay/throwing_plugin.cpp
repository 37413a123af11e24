// A processor plugin whose event handlers throw, so that the host program's handling of plugin
// errors can be exercised. Its thread announces every reload as the real plugin does.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "korviad/korviad.h"

namespace {

class ThrowingPlugin : public kdPluginProcessor {
 public:
  ThrowingPlugin(const std::string& tag, const kdPluginParameters& parameters)
      : kdPluginProcessor(tag, parameters) {}
  ~ThrowingPlugin() override {
    Terminate();
    Join();
  }

  void* Entry() override {
    while (!ShouldTerminate()) {
      if (pending_reload_.exchange(false)) kd_dprintf("%s: Using aggregator #1\n", tag.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return nullptr;
  }

  void DispatchEvent(kdPlugin::Event event, void* /*argument*/) override {
    if (event == EVENT_RELOAD) pending_reload_.store(true);
  }
  using kdPluginProcessor::DispatchProcessorEvent;
  void DispatchProcessorEvent(Event /*event*/, kdFlowMap* /*flow_map*/) override {
    throw kdException("%s: flow map refused", tag.c_str());
  }
  void DispatchProcessorEvent(Event /*event*/, const std::string& /*iface*/,
                              kdPacketStats* /*stats*/) override {
    throw std::runtime_error("statistics refused");
  }
  void GetStatus(nlohmann::json& status) override { status["throwing"] = true; }

 private:
  std::atomic<bool> pending_reload_{true};
};

}  // namespace

extern "C" KD_EXPORT const kdPluginABI kd_plugin_abi = KD_PLUGIN_ABI_INIT;

extern "C" KD_EXPORT kdPlugin* kdPluginInit(const std::string& tag,
                                            const kdPluginParameters& parameters) {
  return new ThrowingPlugin(tag, parameters);
}
