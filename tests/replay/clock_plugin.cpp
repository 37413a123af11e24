// A processor plugin that keeps time the way ordinary C++ code does: its worker reads
// std::chrono::system_clock and waits with std::condition_variable::wait_until on the steady
// clock, and a second thread of its own, started through kdThread, sleeps with sleep_for. Both
// calls go through the C++ library, not through the plugin's code, so this is what tells a
// clock that decides by thread from one that decides by the caller's address. Each thread logs,
// at its end, the last run of consecutive calendar seconds it saw.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "korviad/korviad.h"

namespace {

// Consecutive seconds seen, restarting whenever the clock jumps.
class SecondsSeen {
 public:
  void Look() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t second = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    if (second == last_) return;
    if (second != last_ + 1) first_ = second;
    last_ = second;
  }
  void Log(const std::string& tag, const char* thread) const {
    kd_printf("%s: %s saw %lld to %lld\n", tag.c_str(), thread, static_cast<long long>(first_),
              static_cast<long long>(last_));
  }

 private:
  int64_t first_ = -2;
  int64_t last_ = -2;
};

class Ticker : public kdThread {
 public:
  Ticker() : kdThread("clock-ticker") {}
  ~Ticker() override {
    Terminate();
    Join();
  }
  void* Entry() override {
    // At least one look, however short the run.
    do {
      seen_.Look();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    } while (!ShouldTerminate());
    return nullptr;
  }
  const SecondsSeen& seen() const { return seen_; }

 private:
  SecondsSeen seen_;
};

class ClockPlugin : public kdPluginProcessor {
 public:
  ClockPlugin(const std::string& tag, const kdPluginParameters& parameters)
      : kdPluginProcessor(tag, parameters) {}
  ~ClockPlugin() override {
    Terminate();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      wakeup_.notify_all();
    }
    Join();
  }

  void* Entry() override {
    // The host waits for the first configuration load to be announced.
    kd_dprintf("%s: Using aggregator #1\n", tag.c_str());
    ticker_.Create();
    SecondsSeen seen;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      do {
        seen.Look();
        wakeup_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(1));
      } while (!ShouldTerminate());
    }
    ticker_.Terminate();
    ticker_.Join();
    seen.Log(tag, "worker");
    ticker_.seen().Log(tag, "ticker");
    return nullptr;
  }

  void DispatchEvent(kdPlugin::Event /*event*/, void* /*argument*/) override {}
  using kdPluginProcessor::DispatchProcessorEvent;
  void DispatchProcessorEvent(Event /*event*/, kdFlowMap* /*flow_map*/) override {}
  void DispatchProcessorEvent(Event /*event*/, const std::string& /*iface*/,
                              kdPacketStats* /*stats*/) override {}
  void GetStatus(nlohmann::json& status) override { status["clock"] = true; }

 private:
  std::mutex mutex_;
  std::condition_variable wakeup_;
  Ticker ticker_;
};

}  // namespace

extern "C" KD_EXPORT const kdPluginABI kd_plugin_abi = KD_PLUGIN_ABI_INIT;

extern "C" KD_EXPORT kdPlugin* kdPluginInit(const std::string& tag,
                                            const kdPluginParameters& parameters) {
  return new ClockPlugin(tag, parameters);
}
