#include "korviad/kd_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

#include "kd_format.h"

namespace {

struct LogState {
  std::mutex lock;
  std::atomic<bool> debug{false};
  std::atomic<bool> echo{true};
  uint64_t next_id = 1;
  std::map<uint64_t, kdLog::Observer> observers;
};

LogState& State() {
  static LogState* state = new LogState();  // never destroyed: threads may log during exit
  return *state;
}

__attribute__((format(printf, 2, 0))) void Emit(bool debug, const char* format, va_list args) {
  LogState& state = State();
  std::string line = kdFormatV(format, args);
  std::lock_guard<std::mutex> guard(state.lock);
  for (auto& entry : state.observers) entry.second(debug, line);
  if (state.echo.load() && (!debug || state.debug.load())) {
    fputs(line.c_str(), stderr);
    fflush(stderr);
  }
}

}  // namespace

void kd_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(false, format, args);
  va_end(args);
}

void kd_dprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(true, format, args);
  va_end(args);
}

void kdLog::SetDebug(bool enabled) { State().debug.store(enabled); }
bool kdLog::IsDebug() { return State().debug.load(); }
void kdLog::SetEcho(bool enabled) { State().echo.store(enabled); }

uint64_t kdLog::AddObserver(Observer observer) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  uint64_t id = state.next_id++;
  state.observers.emplace(id, std::move(observer));
  return id;
}

void kdLog::RemoveObserver(uint64_t id) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.observers.erase(id);
}
