#include "replay_reload_watcher.h"

#include "korviad/kd_log.h"

namespace kdreplay {

namespace {

bool StartsWith(const std::string& text, size_t offset, const char* prefix) {
  return text.compare(offset, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

ReloadWatcher::ReloadWatcher(const std::string& tag) : prefix_(tag + ": ") {
  // Runs under the log's lock, possibly while the plugin holds its own lock: it only records.
  observer_id_ = kdLog::AddObserver([this](bool, const std::string& line) { OnLine(line); });
}

ReloadWatcher::~ReloadWatcher() {
  kdLog::RemoveObserver(observer_id_);
}

void ReloadWatcher::OnLine(const std::string& line) {
  if (line.compare(0, prefix_.size(), prefix_) != 0) return;
  const size_t at = prefix_.size();
  std::lock_guard<std::mutex> guard(lock_);
  if (StartsWith(line, at, "Loading configuration: ")) {
    loaded_since_start_ = false;
    return;
  }
  if (StartsWith(line, at, "Using aggregator #")) {
    ++finished_;
    last_failed_ = false;
    loaded_since_start_ = true;
  } else if (StartsWith(line, at, "configuration reload failed: ")) {
    if (!loaded_since_start_) ++finished_;
    last_failed_ = true;
    ++failures_;
  } else if (StartsWith(line, at, "payload pass failed: ")) {
    ++failures_;
    return;
  } else if (StartsWith(line, at, "thread ended by ")) {
    thread_ended_ = true;
    ++failures_;
  } else {
    return;
  }
  changed_.notify_all();
}

uint64_t ReloadWatcher::Finished() const {
  std::lock_guard<std::mutex> guard(lock_);
  return finished_;
}

uint64_t ReloadWatcher::Failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

ReloadWatcher::Outcome ReloadWatcher::WaitAfter(uint64_t finished,
                                                std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  bool ended =
      changed_.wait_for(guard, timeout, [&] { return finished_ > finished || thread_ended_; });
  if (finished_ > finished) return last_failed_ ? Outcome::kFailed : Outcome::kLoaded;
  if (ended) return Outcome::kThreadEnded;
  return Outcome::kTimedOut;
}

}  // namespace kdreplay
