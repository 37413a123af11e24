#include "kpp_nested_path.h"

#include <charconv>

#include "kpp_record_key.h"

bool kppNestedPath::InRange() const {
  for (const kppNestedLevel& level : *this) {
    if (level.kind == kppNestedLevel::Kind::kPosition && level.number > kppMaxNestedPosition)
      return false;
  }
  return true;
}

void kppNestedPath::AppendIdentity(std::string& identity) const {
  // A number named member and the same number's text are one member, so both enter as text.
  for (const kppNestedLevel& level : *this) {
    if (level.kind == kppNestedLevel::Kind::kName)
      kppAppendKeyPart(identity, level.name);
    else
      kppAppendKeyNumber(identity, level.number);
  }
}

nlohmann::json& kppNestedPath::Walk(nlohmann::json& stats) const {
  nlohmann::json* node = &stats;
  for (const kppNestedLevel& level : *this) {
    switch (level.kind) {
      case kppNestedLevel::Kind::kName:
        node = &(*node)[level.name];
        break;
      case kppNestedLevel::Kind::kNumberName: {
        char digits[20];
        const char* end = std::to_chars(digits, digits + sizeof(digits), level.number).ptr;
        node = &(*node)[std::string_view(digits, static_cast<size_t>(end - digits))];
        break;
      }
      case kppNestedLevel::Kind::kPosition:
        // operator[] on an array pads it with nulls up to the position; a null becomes an array.
        node = &(*node)[static_cast<size_t>(level.number)];
        break;
    }
  }
  return *node;
}
