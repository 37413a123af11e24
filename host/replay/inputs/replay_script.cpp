#include "replay_script.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>

#include <nlohmann/json.hpp>

#include "replay_flow_builder.h"
#include "replay_json_fields.h"
#include "replay_line_reader.h"

namespace kdreplay {

using nlohmann::json;

namespace {

// Deeper values are refused before parsing: copying, printing and destroying a JSON value
// recurse once per level.
bool NestingWithin(const std::string& text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

const json& Required(const json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end()) throw MemberError(name, "missing");
  return *it;
}

const json* Optional(const json& object, const char* name) {
  auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

FlowsEvent ParseFlows(const json& event) {
  CheckObject(event, "", {"event", "flows", "value", "buckets"});
  FlowsEvent out;
  const json& flows = Required(event, "flows");
  if (!flows.is_array()) throw MemberError("flows", "expected an array of FLOW objects");
  if (flows.size() > kMaxFlowsPerEvent)
    throw MemberError("flows", "more than " + std::to_string(kMaxFlowsPerEvent) + " flows");
  out.flows.reserve(flows.size());
  for (size_t i = 0; i < flows.size(); ++i)
    out.flows.push_back(BuildFlow(flows[i], ElementPath("flows", i)));
  if (const json* value = Optional(event, "value"))
    out.value = ReadUnsigned<uint32_t>(*value, "value");
  if (const json* buckets = Optional(event, "buckets")) {
    out.buckets = static_cast<uint32_t>(ReadUnsigned(*buckets, "buckets", kMaxBuckets));
    if (out.buckets == 0) throw MemberError("buckets", "expected at least 1 bucket");
  }
  return out;
}

FlowEvent ParseFlow(const json& event) {
  CheckObject(event, "", {"event", "flow", "value"});
  FlowEvent out;
  out.flow = BuildFlow(Required(event, "flow"), "flow");
  if (const json* value = Optional(event, "value"))
    out.value = ReadUnsigned<uint32_t>(*value, "value");
  return out;
}

StatsEvent ParseStats(const json& event) {
  CheckObject(event, "", {"event", "iface", "stats"});
  StatsEvent out;
  out.iface = ReadString(Required(event, "iface"), "iface");
  const json* stats = Optional(event, "stats");
  if (stats == nullptr) return out;
  if (!stats->is_object())
    throw MemberError("stats", "expected an object of counters, got " + Describe(*stats));
  for (auto it = stats->begin(); it != stats->end(); ++it) {
    std::string member = MemberPath("stats", it.key());
    bool narrow = it.key() == "largest_bytes";
    if (!narrow && out.stats.CounterByName(it.key()) == nullptr)
      throw MemberError(member, "unknown packet statistics counter");
    uint64_t max =
        narrow ? std::numeric_limits<uint32_t>::max() : std::numeric_limits<uint64_t>::max();
    out.stats.SetByName(it.key(), ReadUnsigned(*it, member, max));
  }
  return out;
}

ReloadEvent ParseReload(const json& event) {
  CheckObject(event, "", {"event", "conf", "conf_text"});
  ReloadEvent out;
  const json* conf = Optional(event, "conf");
  const json* text = Optional(event, "conf_text");
  if (conf != nullptr && text != nullptr)
    throw MemberError("conf_text", "give either \"conf\" or \"conf_text\", not both");
  if (conf != nullptr) out.conf_text = conf->dump() + "\n";
  if (text != nullptr) out.conf_text = ReadString(*text, "conf_text");
  return out;
}

LinkEvent ParseLink(const json& event) {
  CheckObject(event, "", {"event", "index", "mac"});
  LinkEvent out;
  out.index = ReadUnsigned<uint32_t>(Required(event, "index"), "index");
  const json& mac = Required(event, "mac");
  if (!mac.is_null()) out.mac = ReadMacAddress(mac, "mac");
  return out;
}

SleepEvent ParseSleep(const json& event) {
  CheckObject(event, "", {"event", "ms"});
  SleepEvent out;
  out.ms = static_cast<uint32_t>(ReadUnsigned(Required(event, "ms"), "ms", kMaxSleepMs));
  return out;
}

EventBody ParseMembers(const json& event) {
  const json& kind = Required(event, "event");
  std::string type = ReadString(kind, "event");
  if (type == "flows") return ParseFlows(event);
  if (type == "flow") return ParseFlow(event);
  if (type == "stats") return ParseStats(event);
  if (type == "reload") return ParseReload(event);
  if (type == "link") return ParseLink(event);
  if (type == "status") {
    CheckObject(event, "", {"event"});
    return StatusEvent{};
  }
  if (type == "sleep") return ParseSleep(event);
  throw MemberError("event", "unknown event " + Describe(kind) +
                                 " (expected flows, flow, stats, reload, link, status or sleep)");
}

bool SkippedLine(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\f\v");
  return first == std::string::npos || text[first] == '#';
}

// "<name>:<line>: <message>" (just "<name>: <message>" for line 0) in error; returns false.
bool Fail(std::string& error, const std::string& name, size_t line, const std::string& message) {
  error = name + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + message;
  return false;
}

}  // namespace

bool ParseEvent(const std::string& text, const std::string& name, size_t line, EventBody& event,
                std::string& error) {
  if (!NestingWithin(text, kMaxNesting))
    return Fail(error, name, line,
                "JSON nested deeper than " + std::to_string(kMaxNesting) + " levels");
  json value;
  try {
    value = json::parse(text);
  } catch (const json::exception& e) {
    // The library quotes the last token it read, which may be most of a very long line.
    constexpr size_t kMaxMessage = 200;
    std::string message = e.what();
    if (message.size() > kMaxMessage) message = message.substr(0, kMaxMessage) + "...";
    return Fail(error, name, line, "invalid JSON: " + message);
  }
  if (!value.is_object())
    return Fail(error, name, line, "expected a JSON object, got " + Describe(value));
  // The member readers throw, so that a message names the member; it gains the line here.
  try {
    event = ParseMembers(value);
  } catch (const MemberError& e) {
    return Fail(error, name, line, e.what());
  }
  return true;
}

bool ParseScript(std::istream& in, const std::string& name, Script& script, std::string& error) {
  script = Script();
  script.name = name;
  LineReader reader(in, kMaxLineBytes);
  std::string text;
  for (;;) {
    switch (reader.Next(text)) {
      case LineReader::Status::kEnd:
        return true;
      case LineReader::Status::kTooLong:
        return Fail(error, name, reader.line_number(),
                    "line longer than " + std::to_string(kMaxLineBytes) + " bytes");
      case LineReader::Status::kReadError:
        return Fail(error, name, 0,
                    "read error after line " + std::to_string(reader.line_number()));
      case LineReader::Status::kLine:
        break;
    }
    if (SkippedLine(text)) continue;
    EventBody body;
    if (!ParseEvent(text, name, reader.line_number(), body, error)) return false;
    const auto* reload = std::get_if<ReloadEvent>(&body);
    if (reload != nullptr && reload->conf_text) script.rewrites_conf = true;
    script.lines.push_back({reader.line_number(), text});
  }
}

bool ReadScript(const std::string& path, Script& script, std::string& error) {
  if (path == "-") return ParseScript(std::cin, "<stdin>", script, error);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return Fail(error, path, 0, strerror(errno));
  if (S_ISDIR(info.st_mode)) return Fail(error, path, 0, strerror(EISDIR));
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return Fail(error, path, 0, strerror(errno));
  return ParseScript(in, path, script, error);
}

}  // namespace kdreplay
