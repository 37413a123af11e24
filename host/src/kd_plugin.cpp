#include "korviad/kd_plugin.h"

#include <mutex>

namespace {

struct SinkState {
  std::mutex lock;
  uint64_t next_id = 1;
  std::map<uint64_t, kdSinkRegistry::Observer> observers;
};

SinkState& Sinks() {
  static SinkState* state = new SinkState();  // never destroyed: plugins may dispatch at exit
  return *state;
}

}  // namespace

kdPlugin::kdPlugin(const std::string& tag, Type type, const kdPluginParameters& parameters)
    : kdThread(tag), type(type), parameters(parameters) {}

kdPlugin::~kdPlugin() = default;

void kdPlugin::GetLibrary(std::string& library) { library = tag; }
void kdPlugin::GetName(std::string& name) { name = tag; }
void kdPlugin::GetVersion(std::string& version) { version = "0.0.0"; }
void kdPlugin::GetStatus(nlohmann::json& /*status*/) {}
void kdPlugin::DisplayStatus(const nlohmann::json& /*status*/) {}
void kdPlugin::DispatchEvent(Event /*event*/, void* /*argument*/) {}

void kdPlugin::DispatchSinkPayload(const std::string& sink, const std::set<std::string>& channels,
                                   const nlohmann::json& payload, kdFlags<DispatchFlags> flags) {
  kdSinkRegistry::Dispatch(sink, channels, payload, flags.bits());
}

kdPluginProcessor::kdPluginProcessor(const std::string& tag, const kdPluginParameters& parameters)
    : kdPlugin(tag, TYPE_PROCESSOR, parameters) {
  auto it = parameters.find("conf_filename");
  if (it != parameters.end()) conf_filename = it->second;
}

kdPluginProcessor::~kdPluginProcessor() = default;

void kdPluginProcessor::DispatchProcessorEvent(Event /*event*/, kdFlowMap* /*flow_map*/) {}
void kdPluginProcessor::DispatchProcessorEvent(Event /*event*/,
                                               std::shared_ptr<kdFlow>& /*flow*/) {}
void kdPluginProcessor::DispatchProcessorEvent(Event /*event*/, const std::string& /*iface*/,
                                               kdPacketStats* /*stats*/) {}

uint64_t kdSinkRegistry::AddObserver(Observer observer) {
  SinkState& state = Sinks();
  std::lock_guard<std::mutex> guard(state.lock);
  uint64_t id = state.next_id++;
  state.observers.emplace(id, std::move(observer));
  return id;
}

void kdSinkRegistry::RemoveObserver(uint64_t id) {
  SinkState& state = Sinks();
  std::lock_guard<std::mutex> guard(state.lock);
  state.observers.erase(id);
}

void kdSinkRegistry::Dispatch(const std::string& sink, const std::set<std::string>& channels,
                              const nlohmann::json& payload, uint32_t flags) {
  SinkState& state = Sinks();
  std::lock_guard<std::mutex> guard(state.lock);
  for (auto& entry : state.observers) entry.second(sink, channels, payload, flags);
}
