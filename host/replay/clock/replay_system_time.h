// The C library's time functions themselves (or a sanitizer's, which come first), reached past
// the definitions korvia-replay puts in their place (clock_interpose.cpp). The capture clock uses
// them for its own real waits, and the interposed functions for every call they pass on.
#pragma once

#include <pthread.h>
#include <time.h>

namespace kdreplay {
namespace system_time {

time_t Time(time_t* result);
int ClockGettime(clockid_t clock, timespec* result);
int TimedWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* deadline);
int ClockWait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
              const timespec* deadline);
int ClockNanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain);
int Nanosleep(const timespec* request, timespec* remain);

}  // namespace system_time
}  // namespace kdreplay
