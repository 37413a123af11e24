#include "replay_capture_clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <utility>

#include "korviad/kd_thread.h"
#include "replay_report.h"
#include "replay_system_time.h"

namespace kdreplay {

namespace {

// Read by every interposed call, so it must need no initialisation of its own.
thread_local bool follows = false;

// An idle waiter's due: any step wakes it, so that it looks at capture time once the clock runs.
constexpr int64_t kWakeOnStart = INT64_MIN;
constexpr int64_t kNoDue = INT64_MAX;

bool IsMonotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
         clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
}

timespec RealMonotonicIn(int64_t seconds) {
  timespec at{};
  system_time::ClockGettime(CLOCK_MONOTONIC, &at);
  at.tv_sec += static_cast<time_t>(seconds);
  return at;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

// Lets the clock forget a following thread when it ends.
class CaptureClock::ThreadEnd {
 public:
  ~ThreadEnd() { CaptureClock::Instance().ForgetCurrentThread(); }
};

// Keeps the calling thread's wait in the clock's list while it lasts. Made and destroyed with
// lock_ held.
class CaptureClock::Registration {
 public:
  Registration(CaptureClock& clock, pthread_cond_t* cond, pthread_mutex_t* mutex, int64_t due)
      : clock_(clock), self_(Self()) {
    self_.cond = cond;
    self_.mutex = mutex;
    self_.due = due;
    self_.serial = ++clock_.next_serial_;
    clock_.waiters_.push_back(&self_);
    clock_.settled_cv_.notify_all();
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration() {
    clock_.waiters_.erase(std::find(clock_.waiters_.begin(), clock_.waiters_.end(), &self_));
  }

 private:
  CaptureClock& clock_;
  Waiter& self_;
};

CaptureClock& CaptureClock::Instance() {
  static CaptureClock clock;
  return clock;
}

CaptureClock::Waiter& CaptureClock::Self() {
  static thread_local Waiter self;
  return self;
}

void CaptureClock::Enable() {
  enabled_.store(true);
  kdThread::SetStartHook([] { CaptureClock::Instance().AdoptCurrentThread(); });
}

void CaptureClock::Disable() {
  kdThread::SetStartHook(nullptr);
  enabled_.store(false);
  std::unique_lock<std::mutex> lock(lock_);
  state_.store(State::kIdle);
  unpaced_ = false;
  WakeLocked(lock, [](const Waiter&) { return true; });
}

void CaptureClock::Finish() {
  std::unique_lock<std::mutex> lock(lock_);
  if (state_.load() != State::kRunning) return;
  state_.store(State::kFinished);
  WakeLocked(lock, [](const Waiter&) { return true; });
}

void CaptureClock::AdoptCurrentThread() {
  if (follows) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++live_;
  }
  follows = true;
  static thread_local ThreadEnd end;
  (void)end;
}

void CaptureClock::ForgetCurrentThread() {
  follows = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    --live_;
  }
  settled_cv_.notify_all();
}

bool CaptureClock::Follows() {
  return follows;
}

bool CaptureClock::Serves() const {
  return follows && state_.load(std::memory_order_acquire) != State::kIdle;
}

timespec CaptureClock::Now(clockid_t clock) {
  Self().looked = run_.load();
  int64_t second = second_.load(std::memory_order_acquire);
  // Ahead by the offset, the monotonic clock is past whatever the system's read before the
  // start: a thread's first look at capture time then ends the interval that started before it.
  timespec now{};
  now.tv_sec = static_cast<time_t>(IsMonotonic(clock) ? second + kMonotonicOffset : second);
  return now;
}

void CaptureClock::AdvanceTo(uint64_t time_us) {
  if (!Enabled()) return;
  auto second = static_cast<int64_t>(time_us / 1'000'000);
  const State state = state_.load();
  if (state == State::kIdle) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      second_.store(second, std::memory_order_release);
      run_.fetch_add(1);
      state_.store(State::kRunning, std::memory_order_release);
    }
    Step(second);
    return;
  }
  if (state != State::kRunning) return;
  int64_t current = second_.load();
  const int64_t stepped = second - current > kMaxSteppedGap ? current + kMaxSteppedGap : second;
  while (current < stepped) Step(++current);
  if (current < second) Step(second);
}

void CaptureClock::Step(int64_t second) {
  std::unique_lock<std::mutex> lock(lock_);
  second_.store(second, std::memory_order_release);
  WakeLocked(lock, [second](const Waiter& waiter) { return waiter.due <= second; });
  if (unpaced_) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSettleTimeoutSeconds);
  if (!settled_cv_.wait_until(lock, deadline, [this] { return SettledLocked(); })) {
    unpaced_ = true;
    Report("the plugin's worker does not follow capture time; the replay goes on unpaced");
  }
}

bool CaptureClock::SettledLocked() const {
  const int64_t second = second_.load();
  int settled = 0;
  for (const Waiter* waiter : waiters_) {
    if (waiter->due > second) ++settled;
  }
  return settled >= live_;
}

template <typename Pick>
void CaptureClock::WakeLocked(std::unique_lock<std::mutex>& lock, Pick pick) {
  std::vector<std::pair<const Waiter*, uint64_t>> targets;
  for (const Waiter* waiter : waiters_) {
    if (pick(*waiter)) targets.emplace_back(waiter, waiter->serial);
  }
  while (!targets.empty()) {
    for (auto target = targets.begin(); target != targets.end();) {
      auto found = std::find(waiters_.begin(), waiters_.end(), target->first);
      if (found == waiters_.end() || (*found)->serial != target->second) {
        target = targets.erase(target);  // that wait is over
        continue;
      }
      // Free while the waiter is registered, its mutex says it is inside the wait; held, it may
      // be the waiter on its way out, which needs lock_ to leave, so the lock is let go below.
      Waiter& waiter = **found;
      if (pthread_mutex_trylock(waiter.mutex) != 0) {
        ++target;
        continue;
      }
      pthread_cond_broadcast(waiter.cond);
      pthread_mutex_unlock(waiter.mutex);
      target = targets.erase(target);
    }
    if (targets.empty()) break;
    lock.unlock();
    std::this_thread::yield();
    lock.lock();
  }
}

int64_t CaptureClock::DueSecond(clockid_t clock, const timespec& deadline) const {
  int64_t second = static_cast<int64_t>(deadline.tv_sec) + (deadline.tv_nsec > 0 ? 1 : 0);
  bool monotonic = clock == kUnknownClock ? second >= kMonotonicOffset : IsMonotonic(clock);
  return monotonic ? second - kMonotonicOffset : second;
}

int CaptureClock::Wait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                       const timespec* deadline) {
  Waiter& self = Self();
  std::unique_lock<std::mutex> lock(lock_);
  if (state_.load() == State::kIdle) {
    // On the system clock, but in the list, so that the clock's start wakes it.
    Registration registration(*this, cond, mutex, kWakeOnStart);
    lock.unlock();
    int rc = clock == kUnknownClock ? system_time::TimedWait(cond, mutex, deadline)
                                    : system_time::ClockWait(cond, mutex, clock, deadline);
    lock.lock();
    return rc;
  }
  // A deadline worked out before the thread's first look at capture time is meaningless: it
  // looks first, as after any wake-up.
  if (self.looked != run_.load()) {
    self.looked = run_.load();
    return 0;
  }
  lock.unlock();
  return Block(cond, mutex, deadline != nullptr ? DueSecond(clock, *deadline) : kNoDue);
}

int CaptureClock::Sleep(clockid_t clock, bool absolute, const timespec* request) {
  // The thread's own condition, which nobody else signals: only the clock ends its sleep.
  static thread_local pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  static thread_local pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  pthread_mutex_lock(&mutex);
  const State state = state_.load();
  if (state == State::kIdle) {
    timespec deadline = *request;
    if (!absolute) {
      timespec now{};
      system_time::ClockGettime(clock, &now);
      deadline.tv_sec += now.tv_sec;
      deadline.tv_nsec += now.tv_nsec;
      if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
      }
    }
    std::unique_lock<std::mutex> lock(lock_);
    Registration registration(*this, &cond, &mutex, kWakeOnStart);
    int rc = 0;
    while (rc == 0 && state_.load() == State::kIdle) {
      lock.unlock();
      rc = system_time::ClockWait(&cond, &mutex, clock, &deadline);
      lock.lock();
    }
  } else if (absolute && Self().looked != run_.load()) {
    Self().looked = run_.load();
  } else {
    const int64_t due = absolute
                            ? DueSecond(clock, *request)
                            : second_.load() + request->tv_sec + (request->tv_nsec > 0 ? 1 : 0);
    Block(&cond, &mutex, due);
  }
  pthread_mutex_unlock(&mutex);
  return 0;
}

int CaptureClock::Block(pthread_cond_t* cond, pthread_mutex_t* mutex, int64_t due) {
  std::unique_lock<std::mutex> lock(lock_);
  const State state = state_.load();
  if (state == State::kRunning && due <= second_.load()) return ETIMEDOUT;
  if (state == State::kIdle) return 0;
  // Once the input is over, what is left of the wait in capture time passes in real time.
  const bool real_end_set = state == State::kFinished && due != kNoDue;
  const timespec real_end = RealMonotonicIn(real_end_set ? due - second_.load() : 0);
  Registration registration(*this, cond, mutex, due);
  for (;;) {
    // Bounded, so that a wake-up the clock could not deliver costs a second at most.
    timespec slice = RealMonotonicIn(1);
    if (real_end_set && Before(real_end, slice)) slice = real_end;
    lock.unlock();
    const int rc = system_time::ClockWait(cond, mutex, CLOCK_MONOTONIC, &slice);
    lock.lock();
    if (rc != 0 && rc != ETIMEDOUT) return rc;
    const State now = state_.load();
    if (now == State::kRunning && due <= second_.load()) return ETIMEDOUT;
    if (now != state) return 0;
    if (real_end_set && !Before(RealMonotonicIn(0), real_end)) return ETIMEDOUT;
    if (rc == 0) return 0;
  }
}

}  // namespace kdreplay
