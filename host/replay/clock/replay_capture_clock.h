// The clock the plugin sees while capture files are replayed. Inside the daemon the plugin reads
// the system clock; here the program supplies the C library's time functions (clock_interpose.cpp)
// and, while this clock runs, answers the threads that follow it with capture time, whatever
// code makes the call (the plugin, the C++ library, the host library). The threads that follow
// it are those kdThread starts while the clock is enabled; every other thread keeps the system
// clock.
//
// The replay moves the clock forward a whole second at a time and waits, each time, until every
// following thread is back in a wait for a later capture time (a timed condition wait or a
// sleep), so that a reporting window closes at its capture time however fast the file is read.
// Live captures and event scripts never enable it. See docs/capture.md.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kdreplay {

class CaptureClock {
 public:
  // Of a longer gap in capture time, the clock crosses this much second by second (so that a
  // window of up to this length closes at its time) and the rest in one step.
  static constexpr int64_t kMaxSteppedGap = 3600;
  // How long the replay waits for the threads to settle before it goes on unpaced.
  static constexpr int kSettleTimeoutSeconds = 60;
  // The monotonic capture clock reads this far ahead of the calendar one (see Now), which also
  // tells the two apart in a deadline of unknown clock: below it, a calendar time.
  static constexpr int64_t kMonotonicOffset = int64_t{1} << 32;

  static CaptureClock& Instance();

  // The threads kdThread starts from now on follow this clock once it runs.
  void Enable();
  bool Enabled() const { return enabled_.load(); }
  // Capture time becomes time_us (microseconds since the epoch) if that is later than the
  // clock; the first call starts the clock. Returns once every following thread has settled.
  void AdvanceTo(uint64_t time_us);
  // The input is over. Capture time stands still; a following thread's wait for a later time
  // then lasts as long in real time as it has left in capture time, so that it still ends.
  void Finish();
  // Back to the system clock for everyone, as before Enable. Waits in progress return early.
  void Disable();

  // Marks the calling thread as one that follows the clock; Enable makes kdThread call it.
  void AdoptCurrentThread();

  // For the interposed functions, about the calling thread: whether it follows the clock at
  // all, and whether its reads get capture time now.
  static bool Follows();
  bool Serves() const;
  // Capture time, in whole seconds, as the named clock would tell it. Only when Serves().
  timespec Now(clockid_t clock);

  // The waits and sleeps of a following thread (Follows()). The waits take the wait's clock, or
  // kUnknownClock for pthread_cond_timedwait (the condition's own clock); a null deadline waits
  // for a signal only. They return what the C library's function would.
  static constexpr clockid_t kUnknownClock = -1;
  int Wait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock, const timespec* deadline);
  int Sleep(clockid_t clock, bool absolute, const timespec* request);

 private:
  enum class State { kIdle, kRunning, kFinished };
  // A following thread blocked in one of its waits; one per thread, kept in its thread storage.
  struct Waiter {
    pthread_cond_t* cond = nullptr;
    pthread_mutex_t* mutex = nullptr;
    int64_t due = 0;      // the capture second that ends the wait; INT64_MAX: none
    uint64_t serial = 0;  // tells this wait from the thread's earlier ones
    uint64_t looked = 0;  // the run in which the thread last read capture time
  };
  class ThreadEnd;
  class Registration;

  CaptureClock() = default;
  static Waiter& Self();
  void Step(int64_t second);
  // Wakes the registered waiters that pick selects, each under its own mutex, taken only while
  // the waiter is sure to be inside its wait (so its condition and mutex still exist).
  template <typename Pick>
  void WakeLocked(std::unique_lock<std::mutex>& lock, Pick pick);
  bool SettledLocked() const;
  int64_t DueSecond(clockid_t clock, const timespec& deadline) const;
  int Block(pthread_cond_t* cond, pthread_mutex_t* mutex, int64_t due);
  void ForgetCurrentThread();

  std::atomic<bool> enabled_{false};
  std::atomic<State> state_{State::kIdle};
  std::atomic<int64_t> second_{0};  // what the following threads see
  std::atomic<uint64_t> run_{0};    // counts the clock's starts

  std::mutex lock_;  // guards what follows; taken after a waiter's own mutex, never before
  std::condition_variable settled_cv_;
  std::vector<Waiter*> waiters_;
  int live_ = 0;  // following threads that have not ended
  uint64_t next_serial_ = 0;
  bool unpaced_ = false;  // a thread stopped answering; the replay no longer waits
};

}  // namespace kdreplay
