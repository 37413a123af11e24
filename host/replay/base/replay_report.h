// Messages of the host program itself (not of the plugin), on standard error.
#pragma once

namespace kdreplay {

// Exit statuses of korvia-replay, chosen for a service manager: it restarts the program after
// 1, 3 and 7, and not after 2 and 6, which a restart would only repeat. 2 and 6 are also the
// init-script codes for these cases, which systemd names INVALIDARGUMENT and NOTCONFIGURED.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,       // a failure while running: a lost payload, a failed host write, ...
  kExitUsage = 2,         // bad command line
  kExitPluginErrors = 3,  // the run completed, but the plugin raised errors during it
  // The run cannot start as configured: a missing file, a bad script line, a plugin or
  // plugin configuration refused, an interface that may not be captured, a sink not set up.
  kExitConfigRefused = 6,
  kExitInputsLost = 7,  // no live interface was captured for the --give-up time
};

// Writes "korvia-replay: <message>\n" to standard error in one write. Safe from any thread, and
// never through the host log, so that it may be called while the host's log or sink registry
// lock is held.
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kdreplay
