#include "kpp_channel_config.h"

#include <cerrno>
#include <cstring>

#include "korviad/kd_exception.h"

namespace {

const char* const kLoadSignature = "void kppChannelConfig::Load(const string&, const json&)";

// The string member `key` of conf, or null when conf has none.
const std::string* StringMember(const nlohmann::json& conf, const char* key) {
  if (!conf.is_object()) return nullptr;
  auto it = conf.find(key);
  if (it == conf.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

}  // namespace

void kppChannelConfig::Load(const std::string& name, const nlohmann::json& conf) {
  if (const std::string* value = StringMember(conf, "format")) {
    if (*value == "json") {
      format = FORMAT_JSON;
    } else if (*value == "object") {
      format = FORMAT_OBJECT;
    } else if (*value == "msgpack") {
      format = FORMAT_MSGPACK;
    } else {
      throw kdException("%s: %s: %s: %s", kLoadSignature, name.c_str(), "format", strerror(EINVAL));
    }
  }
  if (const std::string* value = StringMember(conf, "compressor")) {
    if (*value == "none") {
      compressor = COMPRESSOR_NONE;
    } else if (*value == "gz") {
      compressor = COMPRESSOR_GZ;
    } else {
      throw kdException("%s: %s: %s: %s", kLoadSignature, name.c_str(), "compressor",
                        strerror(EINVAL));
    }
  }
}

kdFlags<kdPlugin::DispatchFlags> kppChannelConfig::GetDispatchFlags() const {
  uint32_t bits = 0;
  switch (format) {
    case FORMAT_JSON:
      bits = kdPlugin::DF_FORMAT_JSON;
      break;
    case FORMAT_OBJECT:
      bits = kdPlugin::DF_FORMAT_OBJECT;
      break;
    case FORMAT_MSGPACK:
      bits = kdPlugin::DF_FORMAT_MSGPACK;
      break;
  }
  if (compressor == COMPRESSOR_GZ) bits |= kdPlugin::DF_COMPRESS_GZ;
  return kdFlags<kdPlugin::DispatchFlags>(bits);
}
