// Any bytes as the configuration file: a reload either applies them or throws, and leaves the
// plugin usable (a payload pass still works).
#include <cstdint>
#include <string>

#include "kpp_plugin.h"
#include "test_support.h"

namespace {

struct Harness {
  Harness() : path(dir.File("conf.json")) {
    kdLog::SetEcho(false);
    plugin = std::make_unique<kppPlugin>("fuzz", kdPluginParameters{{"conf_filename", path}});
  }
  testing_support::TempDir dir;
  std::string path;
  std::unique_ptr<kppPlugin> plugin;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  harness.dir.Write("conf.json", std::string(reinterpret_cast<const char*>(data), size));
  try {
    harness.plugin->Reload();
  } catch (const std::exception&) {
  }
  harness.plugin->ProcessFlows(testing_support::MakeFlowMap({testing_support::MakeFlow()}).get());
  harness.plugin->ProcessStatsPayload();
  return 0;
}
