#include "replay_signals.h"

#include <cerrno>

#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "replay_report.h"

namespace kdreplay {

namespace {

// Lock-free, so the handler may touch them.
std::atomic<bool> signalled{false};
std::atomic<bool> output_failed{false};
std::atomic<bool> reload_requested{false};
std::atomic<bool> status_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers need lock-free flags");

const int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1};

void OnSignal(int number) {
  if (number == SIGHUP) {
    reload_requested.store(true);
  } else if (number == SIGUSR1) {
    status_requested.store(true);
  } else {
    signalled.store(true);
  }
}

}  // namespace

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: a signal must not turn a blocked write to standard output into a failure.
  // poll and sleeps are never restarted, so a wait still ends at once.
  action.sa_flags = SA_RESTART;
  for (int number : kHandled) sigaction(number, &action, nullptr);
  IgnoreClosedPipes();
}

void IgnoreClosedPipes() {
  signal(SIGPIPE, SIG_IGN);
}

SignalsBlocked::SignalsBlocked() {
  sigset_t handled;
  sigemptyset(&handled);
  for (int number : kHandled) sigaddset(&handled, number);
  pthread_sigmask(SIG_BLOCK, &handled, &saved_);
}

SignalsBlocked::~SignalsBlocked() {
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

bool InterruptRequested() {
  return signalled.load() || output_failed.load();
}

bool StoppedBySignal() {
  return signalled.load();
}

void StopForOutputFailure(const std::string& message, int error) {
  if (!output_failed.exchange(true) && error != EPIPE)
    Report("%s; stopping the run", message.c_str());
}

void ReportOutputFailure(const std::string& message, int error) {
  if (!output_failed.exchange(true) && error != EPIPE) Report("%s", message.c_str());
}

void ServeSignalRequests(EventTarget& target, const std::function<void()>& on_status) {
  // Polled between packets: a plain load first keeps the common case cheap.
  if (reload_requested.load(std::memory_order_relaxed) && reload_requested.exchange(false))
    target.Reload("SIGHUP");
  if (status_requested.load(std::memory_order_relaxed) && status_requested.exchange(false)) {
    target.WriteStatus("SIGUSR1");
    if (on_status) on_status();
  }
}

}  // namespace kdreplay
