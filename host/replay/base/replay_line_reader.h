// Splits a stream into lines without ever holding more than one line of bounded length, so that
// a hostile input with an endless line is refused instead of exhausting memory.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace kdreplay {

class LineReader {
 public:
  enum class Status { kLine, kEnd, kTooLong, kReadError };

  LineReader(std::istream& in, size_t max_line_bytes);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its "\n" (and without a "\r" before it). After kTooLong or
  // kReadError the reader is done.
  Status Next(std::string& line);
  // Number of the line Next returned last, counting from 1.
  size_t line_number() const { return line_number_; }

 private:
  bool Fill();

  std::istream& in_;
  const size_t max_line_bytes_;
  std::string buffer_;
  size_t start_ = 0;
  bool eof_ = false;
  size_t line_number_ = 0;
};

}  // namespace kdreplay
