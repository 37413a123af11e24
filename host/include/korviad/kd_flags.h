// A set of bits of one enumeration, passed by value.
#pragma once

#include <cstdint>

template <typename Enum>
class kdFlags {
 public:
  constexpr kdFlags() = default;
  constexpr kdFlags(Enum value) : bits_(static_cast<uint32_t>(value)) {}  // NOLINT: implicit
  constexpr explicit kdFlags(uint32_t bits) : bits_(bits) {}

  constexpr uint32_t bits() const { return bits_; }
  constexpr bool Has(Enum value) const {
    return (bits_ & static_cast<uint32_t>(value)) == static_cast<uint32_t>(value);
  }
  constexpr kdFlags& operator|=(kdFlags other) {
    bits_ |= other.bits_;
    return *this;
  }
  friend constexpr kdFlags operator|(kdFlags a, kdFlags b) { return kdFlags(a.bits_ | b.bits_); }
  friend constexpr bool operator==(kdFlags a, kdFlags b) { return a.bits_ == b.bits_; }
  friend constexpr bool operator!=(kdFlags a, kdFlags b) { return a.bits_ != b.bits_; }

 private:
  uint32_t bits_ = 0;
};
