#include "korviad/kd_exception.h"

#include <cstdarg>

#include "kd_format.h"

namespace {

std::string FormatArgs(const char* format, va_list args) { return kdFormatV(format, args); }

}  // namespace

kdException::kdException(const char* format, ...) : std::runtime_error(std::string()) {
  va_list args;
  va_start(args, format);
  std::string text = FormatArgs(format, args);
  va_end(args);
  std::runtime_error::operator=(std::runtime_error(text));
}

kdException::~kdException() = default;
