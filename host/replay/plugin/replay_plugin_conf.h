// The plugin's configuration file as korvia-replay reads it, once, before the run: for the
// checks of replay_conf_check.h and for the settings the host takes from it. Only our own
// plugin's file is read; another plugin's keys mean nothing here.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace kdreplay {

class PluginConf {
 public:
  // Nothing read: no checks apply and no setting is taken.
  PluginConf() = default;
  // Reads path. A file that is not JSON is kept as unparsed: the plugin's first load then fails
  // on its own, with its own message.
  static PluginConf Read(const std::string& path);

  // Whether the file was read and is JSON (of any kind: the checks say what is wrong with it).
  bool parsed() const { return read_ && !document_.is_discarded(); }
  const nlohmann::json& document() const { return document_; }

  // The reporting window's length in seconds, when "log_interval" is a whole number above zero;
  // 0 otherwise. The plugin also takes other numbers (converted towards zero), but only this form
  // is trusted to cap the tracker's updates.
  uint64_t ReportInterval() const;

 private:
  bool read_ = false;
  nlohmann::json document_;
};

}  // namespace kdreplay
