#include "replay_system_time.h"

#include <dlfcn.h>

namespace kdreplay {
namespace system_time {

namespace {

// dlsym gives a symbol's default version (for the condition waits, the current ABI's), and a
// sanitizer's interceptor, which has no version, before the C library's.
template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

time_t Time(time_t* result) {
  static const auto next = Next<time_t (*)(time_t*)>("time");
  return next(result);
}

int ClockGettime(clockid_t clock, timespec* result) {
  static const auto next = Next<int (*)(clockid_t, timespec*)>("clock_gettime");
  return next(clock, result);
}

int TimedWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* deadline) {
  static const auto next =
      Next<int (*)(pthread_cond_t*, pthread_mutex_t*, const timespec*)>("pthread_cond_timedwait");
  return next(cond, mutex, deadline);
}

int ClockWait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
              const timespec* deadline) {
  static const auto next =
      Next<int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*)>(
          "pthread_cond_clockwait");
  return next(cond, mutex, clock, deadline);
}

int ClockNanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
  static const auto next =
      Next<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
  return next(clock, flags, request, remain);
}

int Nanosleep(const timespec* request, timespec* remain) {
  static const auto next = Next<int (*)(const timespec*, timespec*)>("nanosleep");
  return next(request, remain);
}

}  // namespace system_time
}  // namespace kdreplay
