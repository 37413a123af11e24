// One sink channel's output settings: serialisation format and compression.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "korviad/kd_plugin.h"

class kppChannelConfig {
 public:
  enum Format : uint32_t { FORMAT_JSON = 1, FORMAT_OBJECT = 2, FORMAT_MSGPACK = 3 };
  enum Compressor : uint32_t { COMPRESSOR_NONE = 0, COMPRESSOR_GZ = 1 };

  // Invariant: format is 1 to 3 and compressor 0 or 1.
  uint32_t format = FORMAT_JSON;
  uint32_t compressor = COMPRESSOR_NONE;

  // Takes "format" and "compressor" from conf when they are strings; members of other types, and
  // a conf that is not an object, change nothing. An unknown string throws kdException naming
  // `name` and the key; "format" is checked first, so a bad format leaves the compressor as is.
  void Load(const std::string& name, const nlohmann::json& conf);

  // The flag value handed to kdPlugin::DispatchSinkPayload.
  kdFlags<kdPlugin::DispatchFlags> GetDispatchFlags() const;
};

// Sink name to channel name to settings, both in ascending name order.
using kppChannelMap = std::map<std::string, std::map<std::string, kppChannelConfig>>;
