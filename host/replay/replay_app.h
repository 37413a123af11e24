// The whole run of korvia-replay once its command line is parsed: validate the script, load
// the plugin, play the events, stop the plugin, flush the sinks. Returns the exit status.
#pragma once

#include "replay_options.h"

namespace kdreplay {

int RunReplay(const Options& options);

}  // namespace kdreplay
