// Event scripts: JSON Lines, one event object per line; blank lines and lines starting with "#"
// are skipped. A script is read and validated as a whole before anything is delivered, so that a
// bad line stops the run before the plugin starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "korviad/kd_addr.h"
#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"

namespace kdreplay {

// Limits against hostile scripts.
constexpr size_t kMaxLineBytes = 16 * 1024 * 1024;
constexpr size_t kMaxNesting = 128;
constexpr uint32_t kMaxBuckets = 65536;
constexpr size_t kMaxFlowsPerEvent = 100000;
constexpr uint32_t kMaxSleepMs = 3600 * 1000;

// "flows": a flow map; flow i goes under key i into bucket i % buckets.
struct FlowsEvent {
  std::vector<std::shared_ptr<const kdFlow>> flows;
  uint32_t value = 1;
  uint32_t buckets = 1;
};

// "flow": one flow.
struct FlowEvent {
  std::shared_ptr<const kdFlow> flow;
  uint32_t value = 4;
};

// "stats": packet statistics of one interface.
struct StatsEvent {
  std::string iface;
  kdPacketStats stats;
};

// "reload": rewrite the configuration file with conf_text when set, then reload.
struct ReloadEvent {
  std::optional<std::string> conf_text;
};

// "link": set (mac present) or remove the link-layer address of an interface index.
struct LinkEvent {
  uint32_t index = 0;
  std::optional<kdAddr> mac;
};

struct StatusEvent {};

struct SleepEvent {
  uint32_t ms = 0;
};

using EventBody = std::variant<FlowsEvent, FlowEvent, StatsEvent, ReloadEvent, LinkEvent,
                               StatusEvent, SleepEvent>;

// One validated event line. Scripts keep the text of their events and turn one at a time into a
// typed event when it is delivered: typed flows take about a hundred times the room of their
// text, so a large script would otherwise need many times its own size in memory.
struct ScriptLine {
  size_t line = 0;  // line number in the script, from 1
  std::string text;
};

struct Script {
  std::string name;  // the file name, "<stdin>" for standard input
  std::vector<ScriptLine> lines;
  bool rewrites_conf = false;  // a "reload" event carries "conf" or "conf_text"
};

// Each reader returns false with error set to "<name>:<line>: <message>", or "<name>: <message>"
// when no one line is at fault; name is "<stdin>" for standard input.

// Reads and validates the script at path ("-" for standard input), stopping at the first bad
// line.
bool ReadScript(const std::string& path, Script& script, std::string& error);
// Reads and validates a script from in; name is used in messages.
bool ParseScript(std::istream& in, const std::string& name, Script& script, std::string& error);
// One non-blank, non-comment line as a typed event.
bool ParseEvent(const std::string& text, const std::string& name, size_t line, EventBody& event,
                std::string& error);

}  // namespace kdreplay
