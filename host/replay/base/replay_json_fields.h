// Typed reading of JSON members for the event script. Every failure throws MemberError, which
// names the member by its path within the line ("flows[2].iface.index").
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace kdreplay {

class MemberError : public std::runtime_error {
 public:
  MemberError(const std::string& member, const std::string& problem);
  const std::string& member() const { return member_; }

 private:
  std::string member_;
};

// Paths of members: "a" + "b" gives "a.b"; "a" and 2 give "a[2]".
std::string MemberPath(const std::string& parent, const std::string& name);
std::string ElementPath(const std::string& parent, size_t index);

// A short text of value for messages.
std::string Describe(const nlohmann::json& value);

// value must be an object with no member outside allowed.
void CheckObject(const nlohmann::json& value, const std::string& member,
                 std::initializer_list<const char*> allowed);

// An integer from 0 to max; floating-point numbers, booleans and negatives are refused.
uint64_t ReadUnsigned(const nlohmann::json& value, const std::string& member, uint64_t max);

template <typename T>
T ReadUnsigned(const nlohmann::json& value, const std::string& member) {
  return static_cast<T>(ReadUnsigned(value, member, std::numeric_limits<T>::max()));
}

bool ReadBool(const nlohmann::json& value, const std::string& member);
std::string ReadString(const nlohmann::json& value, const std::string& member);

}  // namespace kdreplay
