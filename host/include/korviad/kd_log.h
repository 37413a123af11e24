// Logging through the host. Every line a plugin logs starts with its tag and ": ".
//
// kd_printf lines are always written to standard error; kd_dprintf lines only when debug output
// is on. Observers (tests, korvia-replay) see every line of both kinds, whatever is shown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "korviad/kd_export.h"

KD_EXPORT void kd_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
KD_EXPORT void kd_dprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

class KD_EXPORT kdLog {
 public:
  // debug is true for a kd_dprintf line. Observers run under the log's own lock: they must not
  // log themselves.
  using Observer = std::function<void(bool debug, const std::string& line)>;

  static void SetDebug(bool enabled);
  static bool IsDebug();
  // Whether lines are written to standard error at all (tests silence it).
  static void SetEcho(bool enabled);

  static uint64_t AddObserver(Observer observer);
  static void RemoveObserver(uint64_t id);
};
