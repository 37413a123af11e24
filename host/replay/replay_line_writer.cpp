#include "replay_line_writer.h"

#include <cerrno>

namespace kdreplay {

bool LineWriter::Write(const std::string& line) {
  std::lock_guard<std::mutex> guard(lock_);
  errno = 0;
  bool ok = fwrite(line.data(), 1, line.size(), out_) == line.size();
  ok = fputc('\n', out_) != EOF && ok;
  ok = fflush(out_) == 0 && ok;
  if (!ok) {
    last_error_ = errno != 0 ? errno : EIO;
    clearerr(out_);
    ++failures_;
  }
  return ok;
}

int LineWriter::last_error() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_error_;
}

uint64_t LineWriter::failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

}  // namespace kdreplay
