#include "replay_capture_clock.h"

#include <limits.h>
#include <link.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>

#include "replay_report.h"

namespace kdreplay {

namespace {

// The plugin's monotonic clock is capture time moved this far ahead, so that it is always past
// the system's monotonic time the worker read before the clock started: the worker's first look
// at capture time then ends the window that started before it (empty) and starts the first one.
constexpr int64_t kMonotonicOffset = int64_t{1} << 32;

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? resolved : "";
}

struct Search {
  std::string path;
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
};

int FindObject(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  if (RealPath(info->dlpi_name) != search->path) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + header.p_vaddr;
    if (start < search->low) search->low = start;
    if (start + header.p_memsz > search->high) search->high = start + header.p_memsz;
  }
  return 1;
}

}  // namespace

CaptureClock& CaptureClock::Instance() {
  static CaptureClock clock;
  return clock;
}

bool CaptureClock::Attach(const std::string& object_path) {
  Search search;
  search.path = RealPath(object_path.c_str());
  if (search.path.empty() || dl_iterate_phdr(FindObject, &search) == 0) return false;
  low_.store(search.low);
  high_.store(search.high);
  return true;
}

void CaptureClock::Detach() {
  // The plugin is gone by now: its wake-up condition must not be touched again.
  running_.store(false);
  low_.store(0);
  high_.store(0);
  cond_.store(nullptr);
  mutex_.store(nullptr);
}

bool CaptureClock::InPlugin(const void* caller) const {
  auto address = reinterpret_cast<uintptr_t>(caller);
  return address >= low_.load() && address < high_.load();
}

bool CaptureClock::Serves(const void* caller) const {
  return running_.load(std::memory_order_acquire) && InPlugin(caller);
}

timespec CaptureClock::Now(clockid_t clock) const {
  int64_t second = second_.load(std::memory_order_acquire);
  bool monotonic = clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
                   clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
  timespec now{};
  now.tv_sec = static_cast<time_t>(monotonic ? second + kMonotonicOffset : second);
  return now;
}

void CaptureClock::AdvanceTo(uint64_t time_us) {
  if (!Attached()) return;
  auto second = static_cast<int64_t>(time_us / 1'000'000);
  if (!running_.load()) {
    second_.store(second, std::memory_order_release);
    running_.store(true, std::memory_order_release);
    Step(second);
    return;
  }
  int64_t current = second_.load();
  const int64_t stepped = second - current > kMaxSteppedGap ? current + kMaxSteppedGap : second;
  while (current < stepped) Step(++current);
  if (current < second) Step(second);
}

void CaptureClock::Step(int64_t second) {
  second_.store(second, std::memory_order_release);
  WakeWorker();
  std::unique_lock<std::mutex> lock(settle_lock_);
  if (unpaced_) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSettleTimeoutSeconds);
  if (!settled_cv_.wait_until(lock, deadline, [&] { return settled_second_ >= second; })) {
    unpaced_ = true;
    Report("the plugin's worker does not follow capture time; the replay goes on unpaced");
  }
}

void CaptureClock::WakeWorker() {
  // Under the worker's own mutex, so that the wake-up cannot fall between its look at the clock
  // and its wait.
  pthread_mutex_t* mutex = mutex_.load();
  pthread_cond_t* cond = cond_.load();
  if (mutex == nullptr || cond == nullptr) return;
  pthread_mutex_lock(mutex);
  pthread_cond_broadcast(cond);
  pthread_mutex_unlock(mutex);
}

void CaptureClock::NoteWaiter(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  mutex_.store(mutex);
  cond_.store(cond);
}

int CaptureClock::Wait(pthread_cond_t* cond, pthread_mutex_t* mutex, TimedWait real) {
  int64_t second = second_.load(std::memory_order_acquire);
  // A second that came after the worker's last look at the clock: it looks again first.
  if (second != exit_second_.load()) {
    exit_second_.store(second);
    return 0;
  }
  {
    std::lock_guard<std::mutex> guard(settle_lock_);
    settled_second_ = second;
  }
  settled_cv_.notify_all();
  int rc = 0;
  for (;;) {
    // The plugin's wake-up condition waits on the monotonic clock. The wait is bounded only so
    // that a stopped clock is noticed; a new second or the plugin's own request wakes it.
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 1;
    rc = real(cond, mutex, &deadline);
    if (rc != ETIMEDOUT) break;
    if (!running_.load() || second_.load() != second) break;
  }
  exit_second_.store(second_.load(std::memory_order_acquire));
  return rc == ETIMEDOUT ? 0 : rc;
}

}  // namespace kdreplay
