#include "replay_conf_check.h"

#include <algorithm>

#include "kpp_record_rows.h"

namespace kdreplay {

namespace {

const std::vector<std::string> kTopLevelKeys = {
    "aggregator",   "batched_rows", "compressor",  "criteria",     "format", "key_by_overlay",
    "log_interval", "nested",       "nested_mode", "privacy_mode", "sinks"};
const std::vector<std::string> kChannelKeys = {"compressor", "enable", "format"};

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

void CheckObject(const nlohmann::json& object, const std::vector<std::string>& known,
                 const std::string& where, std::vector<std::string>& messages) {
  for (const auto& item : object.items()) {
    if (std::find(known.begin(), known.end(), item.key()) != known.end()) continue;
    std::string message = where + "unknown key " + nlohmann::json(item.key()).dump();
    std::string closest = ClosestKey(item.key(), known);
    if (!closest.empty()) message += " (did you mean \"" + closest + "\"?)";
    messages.push_back(message);
  }
}

bool BadChoice(const nlohmann::json& object, const char* key,
               const std::vector<std::string>& choices) {
  auto value = object.find(key);
  return value != object.end() && value->is_string() &&
         std::find(choices.begin(), choices.end(), value->get<std::string>()) == choices.end();
}

bool BadChannelSettings(const nlohmann::json& object) {
  return object.is_object() && (BadChoice(object, "format", {"json", "object", "msgpack"}) ||
                                BadChoice(object, "compressor", {"none", "gz"}));
}

// Calls visit(where, channel) for every channel object of the document's sinks, where naming it
// for messages ("sinks.SINK.CHANNEL: ").
template <typename Visit>
void ForEachChannelObject(const nlohmann::json& document, Visit visit) {
  auto sinks = document.find("sinks");
  if (sinks == document.end() || !sinks->is_object()) return;
  for (const auto& sink : sinks->items()) {
    if (!sink.value().is_object()) continue;
    for (const auto& channel : sink.value().items()) {
      if (channel.value().is_object())
        visit("sinks." + sink.key() + "." + channel.key() + ": ", channel.value());
    }
  }
}

}  // namespace

bool FailsLateInLoad(const nlohmann::json& document) {
  if (BadChannelSettings(document)) return true;
  auto sinks = document.find("sinks");
  if (sinks == document.end()) return false;
  if (!sinks->is_object()) return true;
  for (const auto& sink : sinks->items()) {
    if (!sink.value().is_object()) return true;
    for (const auto& channel : sink.value().items()) {
      if (BadChannelSettings(channel.value())) return true;
    }
  }
  return false;
}

std::string ClosestKey(const std::string& key, const std::vector<std::string>& known) {
  std::string best;
  size_t best_distance = std::min<size_t>(3, key.size());
  for (const std::string& candidate : known) {
    size_t distance = EditDistance(key, candidate);
    if (distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return best;
}

std::vector<std::string> UnknownKeys(const nlohmann::json& document) {
  std::vector<std::string> messages;
  if (!document.is_object()) return messages;
  CheckObject(document, kTopLevelKeys, "", messages);
  ForEachChannelObject(document,
                       [&messages](const std::string& where, const nlohmann::json& channel) {
                         CheckObject(channel, kChannelKeys, where, messages);
                       });
  return messages;
}

std::string IgnoredRecordType(const nlohmann::json& document) {
  if (!document.is_object()) return "";
  auto value = document.find("aggregator");
  if (value == document.end()) return "";
  // The plugin converts a number (or a boolean) towards zero and takes any type it has.
  const double count = kppRecordTypeCount();
  double type = -1;
  if (value->is_boolean()) type = value->get<bool>() ? 1 : 0;
  if (value->is_number()) type = value->get<double>();
  if (type >= 1 && type < count + 1) return "";
  return "\"aggregator\": " + value->dump() + " is not a record type from 1 to " +
         std::to_string(kppRecordTypeCount()) + "; the plugin keeps its type";
}

std::vector<std::string> IgnoredValues(const nlohmann::json& document) {
  std::vector<std::string> messages;
  if (!document.is_object()) return messages;
  auto say = [&messages](const std::string& where, const std::string& key,
                         const nlohmann::json& value, const char* what) {
    messages.push_back(where + nlohmann::json(key).dump() + ": " +
                       value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + " " +
                       what);
  };
  // "aggregator" has its own message (IgnoredRecordType).
  for (const char* key : {"log_interval", "batched_rows"}) {
    auto value = document.find(key);
    if (value != document.end() && !value->is_number() && !value->is_boolean())
      say("", key, *value, "is not a number; the plugin keeps its value");
  }
  for (const char* key : {"privacy_mode", "nested", "nested_mode", "key_by_overlay"}) {
    auto value = document.find(key);
    if (value != document.end() && !value->is_boolean())
      say("", key, *value, "is not true or false; the plugin takes it as false");
  }
  auto criteria = document.find("criteria");
  if (criteria != document.end()) {
    bool texts = criteria->is_array();
    for (const nlohmann::json& element : *criteria) texts = texts && element.is_string();
    if (!texts)
      say("", "criteria", *criteria, "is not a list of texts; the plugin keeps its criteria");
  }
  ForEachChannelObject(document, [&say](const std::string& where, const nlohmann::json& channel) {
    auto enable = channel.find("enable");
    if (enable != channel.end() && !enable->is_boolean())
      say(where, "enable", *enable, "is not true or false; the plugin enables the channel");
  });
  return messages;
}

std::vector<std::string> UnconfiguredSinks(const nlohmann::json& document,
                                           const std::vector<std::string>& sinks) {
  std::vector<std::string> missing;
  const nlohmann::json* configured = nullptr;
  if (document.is_object()) {
    auto found = document.find("sinks");
    if (found != document.end() && found->is_object()) configured = &*found;
  }
  for (const std::string& sink : sinks) {
    if (configured == nullptr || !configured->contains(sink)) missing.push_back(sink);
  }
  return missing;
}

}  // namespace kdreplay
