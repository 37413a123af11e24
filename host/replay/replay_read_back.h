// korvia-replay --read: payload files a dir sink wrote, read back into the run summary or CSV
// rows, optionally limited to the windows that start in a time range. See docs/replay.md.
#pragma once

#include "replay_options.h"

namespace kdreplay {

// Returns the exit status: 1 when a path or a file cannot be read (the others are still
// counted), 0 otherwise.
int RunReadBack(const Options& options);

}  // namespace kdreplay
