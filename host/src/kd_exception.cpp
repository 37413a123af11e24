#include "korviad/kd_exception.h"

#include <cstdarg>

#include "kd_format.h"

kdException::kdException(const char* format, ...) : std::runtime_error(std::string()) {
  va_list args;
  va_start(args, format);
  std::string text = kdFormatV(format, args);
  va_end(args);
  std::runtime_error::operator=(std::runtime_error(text));
}

kdException::~kdException() = default;
