// Any bytes as an event script for korvia-replay: it is accepted or refused with a ScriptError
// naming a line, and every accepted line turns into a typed event.
#include <cstdint>
#include <sstream>
#include <string>

#include "replay_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream in(text);
  try {
    kdreplay::ParseScript(in, "fuzz.jsonl");
  } catch (const kdreplay::ScriptError&) {
  }
  try {
    kdreplay::ParseEvent(text, "fuzz.jsonl", 1);
  } catch (const kdreplay::ScriptError&) {
  }
  return 0;
}
