#include "replay_signals.h"

#include <signal.h>

#include <atomic>

namespace kdreplay {

namespace {

std::atomic<bool> interrupted{false};

void OnSignal(int) {
  interrupted.store(true);
}

}  // namespace

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool InterruptRequested() {
  return interrupted.load();
}

}  // namespace kdreplay
