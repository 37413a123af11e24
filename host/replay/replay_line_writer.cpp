#include "replay_line_writer.h"

namespace kdreplay {

bool LineWriter::Write(const std::string& line) {
  std::lock_guard<std::mutex> guard(lock_);
  bool ok = fwrite(line.data(), 1, line.size(), out_) == line.size();
  ok = fputc('\n', out_) != EOF && ok;
  ok = fflush(out_) == 0 && ok;
  if (!ok) {
    clearerr(out_);
    ++failures_;
  }
  return ok;
}

uint64_t LineWriter::failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

}  // namespace kdreplay
