// The signals korvia-replay handles as a daemon does. The handlers only record the request; the
// thread that delivers events acts on it between events (ServeSignalRequests):
//   SIGHUP           the plugin's reload event: it reads its configuration file again
//   SIGUSR1          the plugin's status, as one {"status": ...} line on standard output (and a
//                    capture's counters on standard error)
//   SIGINT, SIGTERM  stop between events; the plugin is then stopped as at the end of the input,
//                    so its last payloads are still sent
// SIGPIPE is ignored so that a closed standard output is a write error rather than the end of the
// process.
#pragma once

#include <signal.h>

#include <functional>
#include <string>

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

// SIGINT or SIGTERM arrived, or an output failure stopped the run.
bool InterruptRequested();
// SIGINT or SIGTERM arrived.
bool StoppedBySignal();
// Stops the run as an interrupt does after an output failure (a closed standard output, a full
// disk), which would only repeat for every later payload: the first call reports message, later
// ones stay silent. error is the failure's errno: a closed pipe (EPIPE) is the reader's choice,
// as with "| head", and stops the run without a word.
void StopForOutputFailure(const std::string& message, int error = 0);
// The same for the results written after a run or read back (summary, CSV): message is reported
// unless an output failure was reported already or error is EPIPE.
void ReportOutputFailure(const std::string& message, int error);
// Ignores SIGPIPE, so that a closed standard output is a write error, not the end of the process.
void IgnoreClosedPipes();
// Sends the reload event or writes the status, once for each signal seen since the last call;
// after the status, on_status (when set) writes what the caller adds to it.
void ServeSignalRequests(EventTarget& target, const std::function<void()>& on_status = nullptr);

}  // namespace kdreplay
