#include "replay_line_writer.h"

#include <cerrno>
#include <cstring>

#include "replay_signals.h"

namespace kdreplay {

bool LineWriter::Write(const std::string& line) {
  return WriteWith([&line](FILE* out) { fwrite(line.data(), 1, line.size(), out); });
}

bool LineWriter::WriteWith(const std::function<void(FILE*)>& write) {
  if (out_ == nullptr) return true;
  std::lock_guard<std::mutex> guard(lock_);
  errno = 0;
  write(out_);
  fputc('\n', out_);
  // The stream's error flag keeps any failure of the pieces until clearerr.
  bool ok = fflush(out_) == 0 && ferror(out_) == 0;
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

bool WriteResultLines(LineWriter& out, const std::vector<std::string>& lines, const char* what) {
  for (const std::string& line : lines) {
    if (out.Write(line)) continue;
    ReportOutputFailure(
        std::string("cannot write ") + what + " to standard output: " + strerror(out.last_error()),
        out.last_error());
    return false;
  }
  return true;
}

}  // namespace kdreplay
