// The C library's time functions as korvia-replay provides them to the plugin it loads: calls
// from the plugin get capture time while a file is replayed (replay_capture_clock.h); every
// other call, and every call at other times, goes on to the next definition (the C library's,
// or a sanitizer's). Exported through clock_exports.list.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include "replay_capture_clock.h"

namespace {

// dlsym gives a symbol's default version (for the condition wait, the current ABI's), and a
// sanitizer's interceptor, which has no version, before the C library's.
template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using ClockGettime = int (*)(clockid_t, timespec*);
using Time = time_t (*)(time_t*);

ClockGettime NextClockGettime() {
  static const ClockGettime next = Next<ClockGettime>("clock_gettime");
  return next;
}

kdreplay::CaptureClock::TimedWait NextTimedWait() {
  static const auto next = Next<kdreplay::CaptureClock::TimedWait>("pthread_cond_timedwait");
  return next;
}

}  // namespace

extern "C" {

time_t time(time_t* result) noexcept {
  time_t now;
  kdreplay::CaptureClock& clock = kdreplay::CaptureClock::Instance();
  if (clock.Serves(__builtin_return_address(0))) {
    now = clock.Now(CLOCK_REALTIME).tv_sec;
  } else {
    static const Time next = Next<Time>("time");
    now = next(nullptr);
  }
  if (result != nullptr) *result = now;
  return now;
}

int clock_gettime(clockid_t id, timespec* result) noexcept {
  kdreplay::CaptureClock& clock = kdreplay::CaptureClock::Instance();
  if (clock.Serves(__builtin_return_address(0)) && id != CLOCK_PROCESS_CPUTIME_ID &&
      id != CLOCK_THREAD_CPUTIME_ID) {
    *result = clock.Now(id);
    return 0;
  }
  return NextClockGettime()(id, result);
}

int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* deadline) {
  kdreplay::CaptureClock& clock = kdreplay::CaptureClock::Instance();
  const void* caller = __builtin_return_address(0);
  if (clock.InPlugin(caller)) {
    clock.NoteWaiter(cond, mutex);
    if (clock.Serves(caller)) return clock.Wait(cond, mutex, NextTimedWait());
  }
  return NextTimedWait()(cond, mutex, deadline);
}

}  // extern "C"
