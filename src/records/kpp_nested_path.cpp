#include "kpp_nested_path.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <string>

bool kppNestedPath::InRange() const {
  for (const kppNestedLevel& level : *this) {
    if (level.kind == kppNestedLevel::Kind::kPosition && level.number > kppMaxNestedPosition)
      return false;
  }
  return true;
}

namespace {

// A number used as a member name is that member's text.
struct NumberText {
  explicit NumberText(uint64_t value)
      : size(static_cast<size_t>(std::to_chars(digits, digits + sizeof(digits), value).ptr -
                                 digits)) {}
  std::string_view view() const { return std::string_view(digits, size); }

  char digits[20];
  size_t size;
};

// The member name of node (null or an object), added as null when absent. The library's
// operator[] would make a member for every call and discard it when the name exists. Paths
// placed in order meet the last member or go after it, with no search.
nlohmann::json& Member(nlohmann::json& node, std::string_view name) {
  if (node.is_null()) node = nlohmann::json::object();
  auto& members = node.get_ref<nlohmann::json::object_t&>();
  auto at = members.end();
  if (!members.empty()) {
    const auto last = std::prev(members.end());
    const int compared = std::string_view(last->first).compare(name);
    if (compared == 0) return last->second;
    if (compared > 0) {
      at = members.lower_bound(name);
      if (at != members.end() && at->first == name) return at->second;
    }
  }
  return members.emplace_hint(at, std::string(name), nullptr)->second;
}

}  // namespace

void kppNestedPath::AppendOrderKey(std::string& key) const {
  for (const kppNestedLevel& level : *this) {
    if (level.kind == kppNestedLevel::Kind::kPosition) {
      key += '\x01';
      for (int shift = 56; shift >= 0; shift -= 8)
        key += static_cast<char>((level.number >> shift) & 0xFF);
      continue;
    }
    // A name ends with two zero bytes and a zero byte inside it is written as zero and one, which
    // keeps both the order and the distinction of names that share a beginning.
    key += '\x02';
    const NumberText number(level.number);
    const std::string_view name =
        level.kind == kppNestedLevel::Kind::kName ? level.name : number.view();
    for (char c : name) {
      key += c;
      if (c == '\0') key += '\x01';
    }
    key.append(2, '\0');
  }
}

nlohmann::json& kppNestedPath::Walk(nlohmann::json& stats) const {
  nlohmann::json* node = &stats;
  for (const kppNestedLevel& level : *this) {
    switch (level.kind) {
      case kppNestedLevel::Kind::kName:
        node = &Member(*node, level.name);
        break;
      case kppNestedLevel::Kind::kNumberName:
        node = &Member(*node, NumberText(level.number).view());
        break;
      case kppNestedLevel::Kind::kPosition:
        // operator[] on an array pads it with nulls up to the position; a null becomes an array.
        node = &(*node)[static_cast<size_t>(level.number)];
        break;
    }
  }
  return *node;
}
