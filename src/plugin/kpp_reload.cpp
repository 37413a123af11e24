// Reading the configuration file and applying it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>

#include "kpp_plugin.h"

namespace {

using nlohmann::json;

// Larger files are refused rather than read into memory.
constexpr off_t kMaxConfigurationBytes = 64 * 1024 * 1024;

// The whole file as text. Throws kdException "<tag>: <path>: <reason>".
std::string ReadConfigurationFile(const std::string& tag, const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw kdException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};

  struct stat info;
  if (fstat(fd, &info) != 0)
    throw kdException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(errno));
  if (S_ISDIR(info.st_mode))
    throw kdException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(EISDIR));
  if (info.st_size > kMaxConfigurationBytes)
    throw kdException("%s: %s: %s (%lld bytes, at most %lld)", tag.c_str(), path.c_str(),
                      strerror(EFBIG), static_cast<long long>(info.st_size),
                      static_cast<long long>(kMaxConfigurationBytes));

  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw kdException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(errno));
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kMaxConfigurationBytes))
      throw kdException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(EFBIG));
  }
  return text;
}

// A number (or boolean) as the JSON library converts it to 32 unsigned bits: integers keep their
// low 32 bits (-1 gives 4294967295), floating-point values are truncated toward zero first.
// Anything else, and a non-finite or out-of-range floating-point value, has no value.
std::optional<uint32_t> ToUint32(const json& value) {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? 1u : 0u;
    case json::value_t::number_unsigned:
      return static_cast<uint32_t>(value.get<uint64_t>());
    case json::value_t::number_integer:
      return static_cast<uint32_t>(static_cast<uint64_t>(value.get<int64_t>()));
    case json::value_t::number_float: {
      double truncated = std::trunc(value.get<double>());
      if (!std::isfinite(truncated) || truncated < -9.2e18 || truncated > 9.2e18)
        return std::nullopt;
      return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(truncated)));
    }
    default:
      return std::nullopt;
  }
}

// An error text for the log. The parser's message quotes what it read of the failing token,
// which in a hostile file can be the whole file: only the start is kept (cut on a character
// boundary).
std::string ShortErrorText(const char* text) {
  constexpr size_t kMaxErrorText = 512;
  std::string shown(text);
  if (shown.size() <= kMaxErrorText) return shown;
  size_t cut = kMaxErrorText;
  while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
  shown.resize(cut);
  return shown + "...";
}

const json* Member(const json& document, const char* key) {
  if (!document.is_object()) return nullptr;
  auto it = document.find(key);
  return it == document.end() ? nullptr : &*it;
}

std::optional<uint32_t> Uint32Member(const json& document, const char* key) {
  const json* value = Member(document, key);
  return value ? ToUint32(*value) : std::nullopt;
}

bool TrueMember(const json& document, const char* key) {
  const json* value = Member(document, key);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

// The criteria list, when "criteria" is an array of strings.
std::optional<std::vector<std::string>> CriteriaMember(const json& document) {
  const json* value = Member(document, "criteria");
  if (value == nullptr || !value->is_array()) return std::nullopt;
  std::vector<std::string> list;
  for (const json& element : *value) {
    if (!element.is_string()) return std::nullopt;
    list.push_back(element.get<std::string>());
  }
  return list;
}

}  // namespace

void kppPlugin::Reload() {
  // The mode flags are rebuilt from the file, but only once it has been read and parsed: a file
  // that cannot be used must not silently turn privacy mode off.
  kd_dprintf("%s: Loading configuration: %s\n", tag.c_str(), conf_filename.c_str());

  json document;
  {
    std::string text = ReadConfigurationFile(tag, conf_filename);
    try {
      document = json::parse(text, nullptr, true, true);
    } catch (const json::exception& e) {
      throw kdException("%s: %s: JSON exception: %s", tag.c_str(), conf_filename.c_str(),
                        ShortErrorText(e.what()).c_str());
    } catch (const std::exception& e) {
      throw kdException("%s: %s: %s", tag.c_str(), conf_filename.c_str(),
                        ShortErrorText(e.what()).c_str());
    }
  }

  // Every expression is put to the new parser before anything is applied: one the host does not
  // accept refuses the whole file, as a syntax error does, instead of failing every later flow
  // pass. Whatever the probe flow's verdict, only acceptance matters here.
  std::optional<std::vector<std::string>> new_criteria = CriteriaMember(document);
  std::shared_ptr<kdFlowParser> new_parser;
  if (new_criteria && !new_criteria->empty()) {
    new_parser = std::make_shared<kdFlowParser>();
    const kdFlow probe;
    for (const std::string& expression : *new_criteria) {
      try {
        std::map<std::string, json> parameters;
        new_parser->Parse(&probe, parameters, expression);
      } catch (const std::exception& e) {
        throw kdException("%s: %s: criteria: \"%s\": %s", tag.c_str(), conf_filename.c_str(),
                          ShortErrorText(expression.c_str()).c_str(),
                          ShortErrorText(e.what()).c_str());
      }
    }
  }

  kdThread::Guard guard(*this);

  if (auto value = Uint32Member(document, "log_interval")) log_interval.store(*value);
  uint32_t new_flags = 0;
  if (TrueMember(document, "privacy_mode")) new_flags |= FLAG_PRIVACY;
  if (auto value = Uint32Member(document, "batched_rows")) batched_rows.store(*value);
  if (TrueMember(document, "nested")) new_flags |= FLAG_NESTED;
  if (TrueMember(document, "nested_mode")) new_flags |= FLAG_NESTED;
  if (TrueMember(document, "key_by_overlay")) new_flags |= FLAG_KEY_BY_OVERLAY;
  flags.store(new_flags);

  if (new_criteria) {
    criteria = std::move(*new_criteria);
    flow_parser = std::move(new_parser);
  }

  if (auto value = Uint32Member(document, "aggregator")) {
    if (kppRecordTypeOf(*value) != nullptr) {
      if (*value != aggregator.load() && !samples.empty()) {
        kd_printf("%s: Aggregator changed, clearing samples.\n", tag.c_str());
        samples.clear();
      }
      aggregator.store(*value);
    }
  }
  kd_dprintf("%s: Using aggregator #%u\n", tag.c_str(), aggregator.load());

  channel_defaults.Load("defaults", document);
  channels.clear();
  if (const json* sinks = Member(document, "sinks")) BuildChannelTable(*sinks);
}

namespace {

// The library's own error for a value that must be an object. Raised here rather than through a
// conversion, which would copy the value and recurse through however deep it nests.
void RequireObject(const json& value) {
  if (!value.is_object())
    throw json::type_error::create(
        302, "type must be object, but is " + std::string(value.type_name()), &value);
}

}  // namespace

void kppPlugin::BuildChannelTable(const json& sinks) {
  RequireObject(sinks);
  for (const auto& sink : sinks.items()) {
    RequireObject(sink.value());
    for (const auto& channel : sink.value().items()) {
      const json& conf = channel.value();
      if (conf.is_object()) {
        auto enable = conf.find("enable");
        if (enable != conf.end() && enable->is_boolean() && !enable->get<bool>()) continue;
      }
      kppChannelConfig config = channel_defaults;
      config.Load(channel.key(), conf);
      channels[sink.key()][channel.key()] = config;
    }
  }
}
