// Plugins: the descriptor a plugin library exports, the plugin base classes, and the sink
// registry through which plugins hand payloads to the host's output sinks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "korviad/kd_export.h"
#include "korviad/kd_flags.h"
#include "korviad/kd_thread.h"

class kdFlow;
class kdFlowMap;
class kdPacketStats;

// The descriptor every plugin library exports as kd_plugin_abi: eight 32-bit fields.
struct kdPluginABI {
  uint32_t magic;
  uint32_t size;
  uint32_t version;
  uint32_t build[5];
};
static_assert(sizeof(kdPluginABI) == 32, "the plugin descriptor is 32 bytes");

// 'K' 'P' 'A' 'B', first character in the most significant byte.
constexpr uint32_t KD_PLUGIN_ABI_MAGIC = (uint32_t{'K'} << 24) | (uint32_t{'P'} << 16) |
                                         (uint32_t{'A'} << 8) | uint32_t{'B'};
// Equal to the major version of libkorviad.so.15.
constexpr uint32_t KD_PLUGIN_ABI_VERSION = 15;
constexpr kdPluginABI KD_PLUGIN_ABI_INIT = {
    KD_PLUGIN_ABI_MAGIC, sizeof(kdPluginABI), KD_PLUGIN_ABI_VERSION,
    {0x20230309, 239, 0, 3112, 80}};

using kdPluginParameters = std::map<std::string, std::string>;

class KD_EXPORT kdPlugin : public kdThread {
 public:
  enum Type : uint32_t {
    TYPE_BASE = 0,
    TYPE_SINK = 1,
    TYPE_PROCESSOR = 2,
  };

  // Host plugin events; any 32-bit value may arrive.
  enum Event : uint32_t {
    EVENT_RELOAD = 0,
    EVENT_STATUS = 1,
  };

  enum DispatchFlags : uint32_t {
    DF_NONE = 0,
    DF_FORMAT_JSON = 0x01,
    DF_FORMAT_OBJECT = 0x02,
    DF_FORMAT_MSGPACK = 0x04,
    DF_COMPRESS_GZ = 0x20,
  };

  kdPlugin(const std::string& tag, Type type, const kdPluginParameters& parameters);
  ~kdPlugin() override;

  Type GetType() const { return type; }
  const kdPluginParameters& GetParameters() const { return parameters; }

  // Plugins built against these declarations call them by vtable position: the order of the
  // virtuals is the host's binary interface, pinned by a test.
  virtual void GetLibrary(std::string& library);
  virtual void GetName(std::string& name);
  virtual void GetVersion(std::string& version);
  virtual void GetStatus(nlohmann::json& status);
  virtual void DisplayStatus(const nlohmann::json& status);
  virtual void DispatchEvent(Event event, void* argument = nullptr);

  // Hands payload to the named channels of sink through the host's sink registry.
  void DispatchSinkPayload(const std::string& sink, const std::set<std::string>& channels,
                           const nlohmann::json& payload, kdFlags<DispatchFlags> flags);

 protected:
  Type type;
  kdPluginParameters parameters;
};

class KD_EXPORT kdPluginProcessor : public kdPlugin {
 public:
  // Processor events; the value arrives as any 32-bit number.
  enum Event : uint32_t {
    EVENT_FLOW_MAP = 1,
    EVENT_FLOW_NEW = 2,
    EVENT_FLOW_DPI_COMPLETE = 4,
    EVENT_FLOW_EXPIRE = 8,
    EVENT_INTERFACES = 16,
    EVENT_PKT_GLOBAL_STATS = 32,
  };

  // Records type TYPE_PROCESSOR and takes conf_filename from the parameter of that name.
  kdPluginProcessor(const std::string& tag, const kdPluginParameters& parameters);
  ~kdPluginProcessor() override;

  const std::string& GetConfFilename() const { return conf_filename; }

  // The host's do-nothing defaults.
  virtual void DispatchProcessorEvent(Event event, kdFlowMap* flow_map);
  virtual void DispatchProcessorEvent(Event event, std::shared_ptr<kdFlow>& flow);
  virtual void DispatchProcessorEvent(Event event, const std::string& iface,
                                      kdPacketStats* stats);

 protected:
  std::string conf_filename;
};

// What a plugin library exports: the descriptor and the factory. A factory returns null or
// throws kdException when it cannot build the plugin.
extern "C" {
using kdPluginInitFunction = kdPlugin* (*)(const std::string& tag,
                                           const kdPluginParameters& parameters);
}

// Where dispatched payloads go. Observers run on the dispatching thread, one call per dispatch,
// serialised by the registry's lock; an observer that throws makes DispatchSinkPayload throw.
class KD_EXPORT kdSinkRegistry {
 public:
  using Observer = std::function<void(const std::string& sink, const std::set<std::string>& channels,
                                      const nlohmann::json& payload, uint32_t flags)>;

  static uint64_t AddObserver(Observer observer);
  static void RemoveObserver(uint64_t id);
  static void Dispatch(const std::string& sink, const std::set<std::string>& channels,
                       const nlohmann::json& payload, uint32_t flags);
};
