// The clock the plugin sees while capture files are replayed. Inside the daemon the plugin reads
// the system clock; here the program supplies the C library's time functions the plugin calls
// (replay_clock_interpose.cpp), and while this clock is running they answer the plugin's calls,
// and only the plugin's, with capture time. The replay moves the clock forward a whole second
// at a time and waits, each time, until the plugin's worker has looked at the new second and
// gone back to waiting, so that a reporting window closes at its capture time however fast
// the file is read. Live captures and event scripts never start it. See docs/capture.md.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace kdreplay {

class CaptureClock {
 public:
  // Of a longer gap in capture time, the clock crosses this much second by second (so that a
  // window of up to this length closes at its time) and the rest in one step.
  static constexpr int64_t kMaxSteppedGap = 3600;
  // How long the replay waits for the worker to settle before it goes on unpaced.
  static constexpr int kSettleTimeoutSeconds = 60;

  static CaptureClock& Instance();

  // The code that sees capture time: the shared object loaded from path. False when no such
  // object is loaded.
  bool Attach(const std::string& object_path);
  // Capture time becomes time_us (microseconds since the epoch) if that is later than the
  // clock; the first call starts the clock. Returns once the worker has seen every new second.
  void AdvanceTo(uint64_t time_us);
  bool Attached() const { return low_.load() != high_.load(); }
  // Back to the system clock for everyone, as before Attach.
  void Detach();

  // For the interposed functions: whether caller is the plugin's code, and whether its call
  // gets capture time.
  bool InPlugin(const void* caller) const;
  bool Serves(const void* caller) const;
  // Capture time, in whole seconds, as the named clock would tell it.
  timespec Now(clockid_t clock) const;
  // The worker's timed wait on its wake-up condition (mutex held), in capture time. real is
  // the C library's own timed wait.
  using TimedWait = int (*)(pthread_cond_t*, pthread_mutex_t*, const timespec*);
  int Wait(pthread_cond_t* cond, pthread_mutex_t* mutex, TimedWait real);
  // Remembers the condition the plugin waits on, so that the clock's start can wake it.
  void NoteWaiter(pthread_cond_t* cond, pthread_mutex_t* mutex);

 private:
  CaptureClock() = default;
  void Step(int64_t second);
  void WakeWorker();

  std::atomic<uintptr_t> low_{0}, high_{0};  // the plugin's mapped range
  std::atomic<bool> running_{false};
  std::atomic<int64_t> second_{0};  // what the plugin sees
  std::atomic<pthread_cond_t*> cond_{nullptr};
  std::atomic<pthread_mutex_t*> mutex_{nullptr};
  std::atomic<int64_t> exit_second_{0};  // the second when the worker last left its wait

  std::mutex settle_lock_;
  std::condition_variable settled_cv_;
  int64_t settled_second_ = 0;  // the second at which the worker last settled
  bool unpaced_ = false;        // the worker stopped answering; the replay no longer waits
};

}  // namespace kdreplay
