// Loads a processor plugin library the way the daemon does.
#pragma once

#include <memory>
#include <string>

#include "korviad/kd_export.h"
#include "korviad/kd_plugin.h"

class KD_EXPORT kdPluginLoader {
 public:
  // dlopen()s path, checks its kd_plugin_abi against ours (magic, record size, interface version)
  // and calls kdPluginInit(tag, parameters). Throws kdException with a clear text naming the file
  // when the library cannot be opened, lacks a symbol, is refused, or its factory returns null.
  kdPluginLoader(const std::string& path, const std::string& tag,
                 const kdPluginParameters& parameters);
  kdPluginLoader(const kdPluginLoader&) = delete;
  kdPluginLoader& operator=(const kdPluginLoader&) = delete;
  // Stops the plugin if it runs, deletes it and closes the library.
  ~kdPluginLoader();

  // The descriptor of a library, checked; throws as the constructor does.
  static kdPluginABI ReadABI(void* handle, const std::string& path);

  kdPluginProcessor* GetPlugin() const { return plugin_; }
  // Starts the plugin's thread.
  void Start();
  // Terminate, then delete the plugin (whose destructor joins its thread). Idempotent.
  void Stop();

 private:
  std::string path_;
  void* handle_ = nullptr;
  kdPluginProcessor* plugin_ = nullptr;
};
