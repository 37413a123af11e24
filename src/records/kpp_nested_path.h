// Where a record sits in the nested form of "stats": a path walked level by level from stats, a
// name level being an object member, a position level an array element (the array grows with
// nulls up to the position).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Positions above this are refused and the record is left out of the tree: a position is an array
// size, and unbounded values would exhaust memory.
constexpr uint64_t kppMaxNestedPosition = 65535;

// One level: an object member name (a view: the text must outlive the path), a number used as a
// member name (Number), or an array position (At).
struct kppNestedLevel {
  enum class Kind : uint8_t { kName, kNumberName, kPosition };

  kppNestedLevel() = default;
  kppNestedLevel(std::string_view member) : name(member) {}
  kppNestedLevel(const std::string& member) : name(member) {}
  static kppNestedLevel Number(uint64_t value) { return Numeric(Kind::kNumberName, value); }
  static kppNestedLevel At(uint64_t index) { return Numeric(Kind::kPosition, index); }

  std::string_view name;
  Kind kind = Kind::kName;
  uint64_t number = 0;

 private:
  static kppNestedLevel Numeric(Kind kind, uint64_t value) {
    kppNestedLevel level;
    level.kind = kind;
    level.number = value;
    return level;
  }
};

// A path of up to kMaxDepth levels, held in place: placing a record allocates no path.
class kppNestedPath {
 public:
  static constexpr size_t kMaxDepth = 8;

  kppNestedPath(std::initializer_list<kppNestedLevel> levels = {}) {
    for (const kppNestedLevel& level : levels) Add(level);
  }
  // Levels past kMaxDepth are a programming error.
  void Add(const kppNestedLevel& level) { levels_.at(size_++) = level; }

  const kppNestedLevel* begin() const { return levels_.data(); }
  const kppNestedLevel* end() const { return levels_.data() + size_; }

  // Whether every position is at most kppMaxNestedPosition.
  bool InRange() const;
  // Appends a text that sorts, byte by byte, as the tree orders places (member names as text, a
  // number used as a name by its decimal text, positions by number; a place before the places
  // inside it), and that two paths share exactly when they lead to the same place.
  void AppendOrderKey(std::string& key) const;
  // Walks the path from stats, creating missing levels, and returns the value at its end. The
  // path must be InRange(). Cheapest when paths come in Compare order.
  nlohmann::json& Walk(nlohmann::json& stats) const;

 private:
  std::array<kppNestedLevel, kMaxDepth> levels_;
  size_t size_ = 0;
};
