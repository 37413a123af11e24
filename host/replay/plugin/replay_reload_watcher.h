// Follows the plugin's reloads through the host log. A reload ends with
// "<tag>: Using aggregator #N" or "<tag>: configuration reload failed: ..."; the host sees these
// lines whether or not debug output shows them. The watcher also notes the plugin's other
// failure lines: a failed payload pass, and the end of its thread by an exception.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace kdreplay {

class ReloadWatcher {
 public:
  enum class Outcome { kLoaded, kFailed, kThreadEnded, kTimedOut };

  // Starts watching at once: create it before the event that causes the reload.
  explicit ReloadWatcher(const std::string& tag);
  ReloadWatcher(const ReloadWatcher&) = delete;
  ReloadWatcher& operator=(const ReloadWatcher&) = delete;
  ~ReloadWatcher();

  // Number of reloads that have ended so far.
  uint64_t Finished() const;
  // Waits until more than finished reloads have ended, the plugin thread has ended, or timeout
  // has passed. Tells how the latest reload ended.
  Outcome WaitAfter(uint64_t finished, std::chrono::milliseconds timeout);
  // Failure lines seen: failed reloads, failed payload passes, the thread ended by exception.
  uint64_t Failures() const;

  // Feeds one log line (the observer does this; public for tests).
  void OnLine(const std::string& line);

 private:
  const std::string prefix_;
  uint64_t observer_id_ = 0;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  uint64_t finished_ = 0;
  uint64_t failures_ = 0;
  bool last_failed_ = false;
  bool thread_ended_ = false;
  // A reload logs its "Using aggregator" line before it builds the channel table, which may
  // still fail; that failure line belongs to the same reload and is not counted again.
  bool loaded_since_start_ = false;
};

}  // namespace kdreplay
