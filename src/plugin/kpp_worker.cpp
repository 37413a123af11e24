// The worker loop: configuration reloads, the reporting interval and the last pass at exit.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "kpp_plugin.h"

namespace {

timespec MonotonicNow(const std::string& tag) {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
    throw kdException("%s: %s: %s", tag.c_str(), "clock_gettime", strerror(errno));
  return now;
}

// Holds a pthread mutex for its lifetime.
class PthreadMutexGuard {
 public:
  PthreadMutexGuard(pthread_mutex_t& mutex, const std::string& tag) : mutex_(mutex), tag_(tag) {
    int rc = pthread_mutex_lock(&mutex_);
    if (rc != 0) throw kdException("%s: %s: %s", tag.c_str(), "pthread_mutex_lock", strerror(rc));
  }
  PthreadMutexGuard(const PthreadMutexGuard&) = delete;
  PthreadMutexGuard& operator=(const PthreadMutexGuard&) = delete;
  ~PthreadMutexGuard() noexcept(false) {
    int rc = pthread_mutex_unlock(&mutex_);
    if (rc != 0 && std::uncaught_exceptions() == 0)
      throw kdException("%s: %s: %s", tag_.c_str(), "pthread_mutex_unlock", strerror(rc));
  }

 private:
  pthread_mutex_t& mutex_;
  const std::string& tag_;
};

}  // namespace

void kppPlugin::ReloadLogged() {
  try {
    Reload();
  } catch (const std::exception& e) {
    kd_printf("%s: configuration reload failed: %s\n", tag.c_str(), e.what());
  }
}

void kppPlugin::PayloadPassLogged() {
  try {
    ProcessStatsPayload();
  } catch (const std::exception& e) {
    kd_printf("%s: payload pass failed: %s\n", tag.c_str(), e.what());
  }
}

void* kppPlugin::Entry() {
  kd_printf("%s: %s v%s\n", tag.c_str(), kName, kVersion);
  log_time_start = time(nullptr);
  timespec last_pass = MonotonicNow(tag);

  for (;;) {
    if (ShouldTerminate()) {
      PayloadPassLogged();
      return nullptr;
    }
    // Cleared before the reload, so that a request arriving while it runs is not lost. A failed
    // reload is logged and not retried until asked again.
    if (pending_reload.exchange(false)) {
      ReloadLogged();
    }
    timespec now = MonotonicNow(tag);
    int64_t elapsed = static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(last_pass.tv_sec);
    if (elapsed >= log_interval.load()) {
      PayloadPassLogged();
      last_pass = MonotonicNow(tag);
      // With an interval of 0 the loop still waits, so that it reports at every wake-up
      // instead of spinning.
      if (log_interval.load() > 0) continue;
    }
    WaitForWakeup();
  }
}

void kppPlugin::WaitForWakeup() {
  PthreadMutexGuard guard(wakeup_lock, tag);
  // Requests are signalled under wakeup_lock (SignalWorker), so one made since the loop's checks
  // is seen here instead of being slept through.
  if (ShouldTerminate() || pending_reload.load()) return;
  timespec deadline = MonotonicNow(tag);
  deadline.tv_sec += 1;
  int rc = pthread_cond_timedwait(&wakeup_cond, &wakeup_lock, &deadline);
  if (rc != 0 && rc != ETIMEDOUT)
    throw kdException("%s: %s: %s", tag.c_str(), "pthread_cond_timedwait", strerror(rc));
}

void kppPlugin::WakeWorker() {
  int rc = pthread_cond_broadcast(&wakeup_cond);
  if (rc != 0) throw kdException("%s: %s: %s", tag.c_str(), "pthread_cond_broadcast", strerror(rc));
}

void kppPlugin::SignalWorker() {
  if (pthread_mutex_lock(&wakeup_lock) != 0) {
    pthread_cond_broadcast(&wakeup_cond);
    return;
  }
  pthread_cond_broadcast(&wakeup_cond);
  pthread_mutex_unlock(&wakeup_lock);
}
