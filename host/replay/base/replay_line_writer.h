// Whole lines to a stream, one writer at a time, flushed at once: payload lines from the
// plugin's thread and status lines from the host thread never interleave.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kdreplay {

class LineWriter {
 public:
  // A null out discards every line, as written.
  explicit LineWriter(FILE* out) : out_(out) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes line and "\n" and flushes. False when the stream refused it (closed pipe, full disk).
  bool Write(const std::string& line);
  // The same for a line that write puts on the stream piece by piece (without its "\n"), so that
  // a very long line need not be held as one text first.
  bool WriteWith(const std::function<void(FILE*)>& write);
  // Number of lines that could not be written.
  uint64_t failures() const;
  // The errno of the latest failure ("Broken pipe", "No space left on device"), or 0.
  int last_error() const;

 private:
  mutable std::mutex lock_;
  FILE* out_;
  uint64_t failures_ = 0;
  int last_error_ = 0;
};

// Writes lines to out (standard output), stopping at the first it refuses: that failure is
// reported once, naming what ("the summary"), unless it is a closed pipe. False on a failure.
bool WriteResultLines(LineWriter& out, const std::vector<std::string>& lines, const char* what);

}  // namespace kdreplay
