// The C library's time functions as korvia-replay provides them: a thread that follows the
// capture clock (replay_capture_clock.h) gets capture time and waits in it while a file is
// replayed; every other call goes on to the next definition (the C library's, or a
// sanitizer's). Exported through clock_exports.list, so that the plugin, the C++ library and
// the host library all reach these.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "replay_capture_clock.h"
#include "replay_system_time.h"

namespace {

using kdreplay::CaptureClock;
namespace system_time = kdreplay::system_time;

bool CpuClock(clockid_t clock) {
  return clock == CLOCK_PROCESS_CPUTIME_ID || clock == CLOCK_THREAD_CPUTIME_ID || clock < 0;
}

// The clocks whose waits the capture clock takes over; the C library's wait on no other.
bool WaitClock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC;
}

bool ValidRequest(const timespec* request) {
  return request != nullptr && request->tv_sec >= 0 && request->tv_nsec >= 0 &&
         request->tv_nsec < 1'000'000'000;
}

}  // namespace

extern "C" {

time_t time(time_t* result) noexcept {
  time_t now;
  if (CaptureClock::Follows() && CaptureClock::Instance().Serves()) {
    now = CaptureClock::Instance().Now(CLOCK_REALTIME).tv_sec;
  } else {
    now = system_time::Time(nullptr);
  }
  if (result != nullptr) *result = now;
  return now;
}

int clock_gettime(clockid_t id, timespec* result) noexcept {
  if (CaptureClock::Follows() && CaptureClock::Instance().Serves() && !CpuClock(id)) {
    *result = CaptureClock::Instance().Now(id);
    return 0;
  }
  return system_time::ClockGettime(id, result);
}

int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* deadline) {
  if (CaptureClock::Follows())
    return CaptureClock::Instance().Wait(cond, mutex, CaptureClock::kUnknownClock, deadline);
  return system_time::TimedWait(cond, mutex, deadline);
}

int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const timespec* deadline) {
  if (CaptureClock::Follows() && WaitClock(clock))
    return CaptureClock::Instance().Wait(cond, mutex, clock, deadline);
  return system_time::ClockWait(cond, mutex, clock, deadline);
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
  if (CaptureClock::Follows() && WaitClock(clock) && ValidRequest(request)) {
    const bool absolute = (flags & TIMER_ABSTIME) != 0;
    // request and remain may be the same.
    int rc = CaptureClock::Instance().Sleep(clock, absolute, request);
    if (!absolute && remain != nullptr) *remain = timespec{};
    return rc;
  }
  return system_time::ClockNanosleep(clock, flags, request, remain);
}

int nanosleep(const timespec* request, timespec* remain) {
  if (CaptureClock::Follows() && ValidRequest(request)) {
    int rc = CaptureClock::Instance().Sleep(CLOCK_MONOTONIC, false, request);
    if (remain != nullptr) *remain = timespec{};
    return rc;
  }
  return system_time::Nanosleep(request, remain);
}

}  // extern "C"
