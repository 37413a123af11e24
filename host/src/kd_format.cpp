#include "kd_format.h"

#include <cstdio>
#include <vector>

std::string kdFormatV(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (length < 0) return std::string(format);
  if (static_cast<size_t>(length) < sizeof(small)) return std::string(small, length);
  std::vector<char> large(static_cast<size_t>(length) + 1);
  vsnprintf(large.data(), large.size(), format, args);
  return std::string(large.data(), length);
}
