// The one exception type of the host interface. Host and plugins throw it for failed set-up,
// system calls and configuration; the host catches it across the library boundary, which is why
// its key function (the destructor) lives in libkorviad.
#pragma once

#include <stdexcept>
#include <string>

#include "korviad/kd_export.h"

class KD_EXPORT kdException : public std::runtime_error {
 public:
  // printf-style: kdException("%s: %s: %s", tag, call, strerror(rc)).
  explicit kdException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  kdException(const kdException&) = default;
  kdException& operator=(const kdException&) = default;
  ~kdException() override;
};
