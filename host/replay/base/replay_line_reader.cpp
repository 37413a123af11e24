#include "replay_line_reader.h"

namespace kdreplay {

namespace {
constexpr size_t kChunk = 64 * 1024;
}

LineReader::LineReader(std::istream& in, size_t max_line_bytes)
    : in_(in), max_line_bytes_(max_line_bytes) {}

bool LineReader::Fill() {
  if (eof_) return false;
  // Drop the lines already handed out before growing the buffer.
  buffer_.erase(0, start_);
  start_ = 0;
  size_t old_size = buffer_.size();
  buffer_.resize(old_size + kChunk);
  in_.read(&buffer_[old_size], static_cast<std::streamsize>(kChunk));
  size_t got = static_cast<size_t>(in_.gcount());
  buffer_.resize(old_size + got);
  if (got < kChunk) eof_ = true;
  return got > 0;
}

LineReader::Status LineReader::Next(std::string& line) {
  size_t scanned = start_;
  for (;;) {
    size_t newline = buffer_.find('\n', scanned);
    if (newline != std::string::npos) {
      if (newline - start_ > max_line_bytes_) {
        ++line_number_;
        return Status::kTooLong;
      }
      line.assign(buffer_, start_, newline - start_);
      start_ = newline + 1;
      ++line_number_;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return Status::kLine;
    }
    if (buffer_.size() - start_ > max_line_bytes_) {
      ++line_number_;
      return Status::kTooLong;
    }
    scanned = buffer_.size();
    size_t offset = scanned - start_;
    if (!Fill()) {
      if (in_.bad()) return Status::kReadError;
      if (start_ == buffer_.size()) return Status::kEnd;
      // The last line has no newline.
      line.assign(buffer_, start_, std::string::npos);
      start_ = buffer_.size();
      ++line_number_;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return Status::kLine;
    }
    scanned = start_ + offset;
  }
}

}  // namespace kdreplay
