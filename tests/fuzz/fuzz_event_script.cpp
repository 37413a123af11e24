// Any bytes as an event script for korvia-replay: it is accepted or refused with a message naming
// a line, and every accepted line turns into a typed event. An exception escaping is a fault.
#include <cstdint>
#include <sstream>
#include <string>

#include "replay_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  kdreplay::Script script;
  std::string error;
  if (kdreplay::ParseScript(in, "fuzz.jsonl", script, error)) {
    for (const kdreplay::ScriptLine& line : script.lines) {
      kdreplay::EventBody event;
      if (!kdreplay::ParseEvent(line.text, script.name, line.line, event, error)) __builtin_trap();
    }
  } else if (error.compare(0, 11, "fuzz.jsonl:") != 0) {
    __builtin_trap();
  }
  kdreplay::EventBody event;
  kdreplay::ParseEvent(text, "fuzz.jsonl", 1, event, error);
  return 0;
}
