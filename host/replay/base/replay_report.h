// Messages of the host program itself (not of the plugin), on standard error.
#pragma once

namespace kdreplay {

// Exit statuses of korvia-replay.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,       // missing file, bad script line, plugin refused, failed host write
  kExitUsage = 2,         // bad command line
  kExitPluginErrors = 3,  // the run completed, but the plugin raised errors during it
};

// Writes "korvia-replay: <message>\n" to standard error in one write. Safe from any thread, and
// never through the host log, so that it may be called while the host's log or sink registry
// lock is held.
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kdreplay
