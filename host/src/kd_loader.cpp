#include "korviad/kd_loader.h"

#include <dlfcn.h>

#include "korviad/kd_exception.h"

kdPluginABI kdPluginLoader::ReadABI(void* handle, const std::string& path) {
  const auto* abi = static_cast<const kdPluginABI*>(dlsym(handle, "kd_plugin_abi"));
  if (abi == nullptr)
    throw kdException("%s: not a plugin: symbol kd_plugin_abi not found", path.c_str());
  if (abi->magic != KD_PLUGIN_ABI_MAGIC)
    throw kdException("%s: plugin refused: bad descriptor magic 0x%08x (expected 0x%08x)",
                      path.c_str(), abi->magic, KD_PLUGIN_ABI_MAGIC);
  if (abi->size != sizeof(kdPluginABI))
    throw kdException("%s: plugin refused: descriptor size %u (expected %zu)", path.c_str(),
                      abi->size, sizeof(kdPluginABI));
  if (abi->version != KD_PLUGIN_ABI_VERSION)
    throw kdException("%s: plugin refused: built for host interface %u (this host is %u)",
                      path.c_str(), abi->version, KD_PLUGIN_ABI_VERSION);
  return *abi;
}

kdPluginLoader::kdPluginLoader(const std::string& path, const std::string& tag,
                               const kdPluginParameters& parameters)
    : path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = dlerror();
    throw kdException("%s: cannot load plugin: %s", path.c_str(), error ? error : "unknown");
  }
  try {
    ReadABI(handle_, path);
    void* symbol = dlsym(handle_, "kdPluginInit");
    if (symbol == nullptr)
      throw kdException("%s: not a plugin: symbol kdPluginInit not found", path.c_str());
    auto init = reinterpret_cast<kdPluginInitFunction>(symbol);
    kdPlugin* plugin = init(tag, parameters);
    if (plugin == nullptr)
      throw kdException("%s: plugin factory returned no plugin (tag %s)", path.c_str(),
                        tag.c_str());
    plugin_ = dynamic_cast<kdPluginProcessor*>(plugin);
    if (plugin_ == nullptr) {
      delete plugin;
      throw kdException("%s: plugin is not a processor plugin", path.c_str());
    }
  } catch (...) {
    dlclose(handle_);
    handle_ = nullptr;
    throw;
  }
}

kdPluginLoader::~kdPluginLoader() {
  Stop();
  if (handle_ != nullptr) dlclose(handle_);
}

void kdPluginLoader::Start() {
  if (plugin_ != nullptr) plugin_->Create();
}

void kdPluginLoader::Stop() {
  if (plugin_ == nullptr) return;
  plugin_->Terminate();
  delete plugin_;
  plugin_ = nullptr;
}
