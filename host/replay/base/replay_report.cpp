#include "replay_report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kdreplay {

void Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text = "korvia-replay: ";
  if (length > 0) {
    size_t prefix = text.size();
    text.resize(prefix + static_cast<size_t>(length) + 1);
    vsnprintf(&text[prefix], static_cast<size_t>(length) + 1, format, args);
    text.resize(prefix + static_cast<size_t>(length));
  }
  va_end(args);
  text += '\n';
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

}  // namespace kdreplay
