#include "replay_json_fields.h"

#include <algorithm>

namespace kdreplay {

using nlohmann::json;

MemberError::MemberError(const std::string& member, const std::string& problem)
    : std::runtime_error("member \"" + member + "\": " + problem), member_(member) {}

std::string MemberPath(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "." + name;
}

std::string ElementPath(const std::string& parent, size_t index) {
  return parent + "[" + std::to_string(index) + "]";
}

std::string Describe(const nlohmann::json& value) {
  constexpr size_t kMaxText = 40;
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.size() > kMaxText) text = text.substr(0, kMaxText) + "...";
  return text;
}

void CheckObject(const json& value, const std::string& member,
                 std::initializer_list<const char*> allowed) {
  if (!value.is_object()) throw MemberError(member, "expected an object, got " + Describe(value));
  for (auto it = value.begin(); it != value.end(); ++it) {
    bool known = std::any_of(allowed.begin(), allowed.end(),
                             [&](const char* name) { return it.key() == name; });
    if (!known) throw MemberError(MemberPath(member, it.key()), "unknown member");
  }
}

uint64_t ReadUnsigned(const json& value, const std::string& member, uint64_t max) {
  bool fits = false;
  if (value.is_number_unsigned()) {
    fits = value.get<uint64_t>() <= max;
  } else if (value.is_number_integer()) {
    int64_t number = value.get<int64_t>();
    fits = number >= 0 && static_cast<uint64_t>(number) <= max;
  }
  if (!fits) {
    throw MemberError(member, "expected an integer from 0 to " + std::to_string(max) + ", got " +
                                  Describe(value));
  }
  return value.is_number_unsigned() ? value.get<uint64_t>()
                                    : static_cast<uint64_t>(value.get<int64_t>());
}

bool ReadBool(const json& value, const std::string& member) {
  if (!value.is_boolean())
    throw MemberError(member, "expected true or false, got " + Describe(value));
  return value.get<bool>();
}

std::string ReadString(const json& value, const std::string& member) {
  if (!value.is_string()) throw MemberError(member, "expected a string, got " + Describe(value));
  return value.get<std::string>();
}

}  // namespace kdreplay
