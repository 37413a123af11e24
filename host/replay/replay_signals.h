// The signals korvia-replay handles as a daemon does. The handlers only record the request; the
// thread that delivers events acts on it between events (ServeSignalRequests):
//   SIGHUP           the plugin's reload event: it reads its configuration file again
//   SIGUSR1          the plugin's status, as one {"status": ...} line on standard output
//   SIGINT, SIGTERM  stop between events; the plugin is then stopped as at the end of the input,
//                    so its last payloads are still sent
// SIGPIPE is ignored so that a closed standard output is a write error rather than the end of the
// process.
#pragma once

#include <signal.h>

#include "replay_event_target.h"

namespace kdreplay {

void InstallSignalHandlers();

// Keeps the handled signals from the calling thread while it lives. Threads started meanwhile
// (the plugin's) inherit the mask, so the signals reach the thread that waits for them.
class SignalsBlocked {
 public:
  SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked();

 private:
  sigset_t saved_;
};

// SIGINT or SIGTERM arrived, or RequestStop was called.
bool InterruptRequested();
// Asks the run to stop as an interrupt does (after a failure that makes going on pointless).
void RequestStop();
// Sends the reload event or writes the status, once for each signal seen since the last call.
void ServeSignalRequests(EventTarget& target);

}  // namespace kdreplay
