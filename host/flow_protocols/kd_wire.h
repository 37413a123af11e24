// Bounded big-endian reading and writing of the flow protocols' wire formats.
//
// A kdWireReader never reads past its end: a read that does not fit returns zero and marks the
// reader failed, so a decoder checks ok() once after a group of reads instead of before each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class kdWireReader {
 public:
  kdWireReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  size_t remaining() const { return size_ - pos_; }
  size_t position() const { return pos_; }
  const uint8_t* here() const { return data_ + pos_; }

  uint8_t U8() { return static_cast<uint8_t>(Uint(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Uint(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Uint(4)); }
  uint64_t U64() { return Uint(8); }

  // An unsigned integer of 1 to 8 bytes (IPFIX's reduced-size encoding).
  uint64_t Uint(size_t bytes) {
    if (!Fits(bytes) || bytes > 8) return Fail();
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = v << 8 | data_[pos_ + i];
    pos_ += bytes;
    return v;
  }

  // Returns the start of the next bytes and steps over them, or null when they do not fit.
  const uint8_t* Bytes(size_t bytes) {
    if (!Fits(bytes)) {
      Fail();
      return nullptr;
    }
    const uint8_t* p = data_ + pos_;
    pos_ += bytes;
    return p;
  }

  bool Skip(size_t bytes) { return Bytes(bytes) != nullptr; }

 private:
  bool Fits(size_t bytes) const { return ok_ && bytes <= size_ - pos_; }
  uint64_t Fail() {
    ok_ = false;
    return 0;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Appends to a byte vector; Patch16 fills in a length once what it counts is written.
class kdWireWriter {
 public:
  explicit kdWireWriter(std::vector<uint8_t>& out) : out_(out) {}

  size_t size() const { return out_.size(); }
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) { Uint(v, 2); }
  void U32(uint32_t v) { Uint(v, 4); }
  void U64(uint64_t v) { Uint(v, 8); }
  void Uint(uint64_t v, size_t bytes) {
    for (size_t i = bytes; i-- > 0;) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Bytes(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }
  void Zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  void Patch16(size_t at, uint16_t v) {
    out_[at] = static_cast<uint8_t>(v >> 8);
    out_[at + 1] = static_cast<uint8_t>(v);
  }
  void Patch32(size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) out_[at + i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
  }

 private:
  std::vector<uint8_t>& out_;
};
