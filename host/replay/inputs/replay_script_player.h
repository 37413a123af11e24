// Plays a validated event script into an event target, in order, on the calling thread. Each
// line becomes a typed event only when its turn comes.
#pragma once

#include <string>

#include "replay_event_target.h"
#include "replay_script.h"

namespace kdreplay {

class ScriptPlayer {
 public:
  // conf_path is the file that "reload" events with "conf" or "conf_text" rewrite.
  ScriptPlayer(const Script& script, std::string conf_path);

  // Delivers every event. Returns false, after reporting why, when the host itself failed
  // (the configuration file could not be rewritten, memory ran out) or the run was interrupted;
  // the remaining events are then not delivered.
  bool Play(EventTarget& target);

 private:
  bool PlayOne(const std::string& where, const EventBody& event, EventTarget& target);
  bool RewriteConf(const std::string& where, const std::string& text);

  const Script& script_;
  const std::string conf_path_;
};

}  // namespace kdreplay
