#include "payload_floor.h"

#include <unordered_map>

namespace kppbench {

using nlohmann::json;

namespace {

constexpr uint32_t kNoKey = 0xFFFFFFFF;

}  // namespace

DocumentRecipe::DocumentRecipe(const json& document) {
  std::unordered_map<std::string, uint32_t> known;
  // Member names repeat row after row: each is kept once.
  auto key_of = [&](const std::string& name) {
    auto found = known.emplace(name, static_cast<uint32_t>(keys_.size()));
    if (found.second) keys_.push_back(name);
    return found.first->second;
  };
  std::vector<std::pair<const json*, uint32_t>> pending{{&document, kNoKey}};
  while (!pending.empty()) {
    auto [value, key] = pending.back();
    pending.pop_back();
    Step step{value->type(), key, 0, json()};
    if (value->is_object() || value->is_array()) {
      step.children = static_cast<uint32_t>(value->size());
      // Children are taken in reverse so that they come out of the stack in document order.
      std::vector<std::pair<const json*, uint32_t>> children;
      if (value->is_object()) {
        for (auto member = value->begin(); member != value->end(); ++member)
          children.emplace_back(&member.value(), key_of(member.key()));
      } else {
        for (const json& element : *value) children.emplace_back(&element, kNoKey);
      }
      pending.insert(pending.end(), children.rbegin(), children.rend());
    } else {
      step.scalar = *value;
    }
    steps_.push_back(std::move(step));
  }
}

json DocumentRecipe::Build() const {
  size_t at = 0;
  return BuildAt(at);
}

json DocumentRecipe::BuildAt(size_t& at) const {
  const Step& step = steps_[at++];
  if (step.type == json::value_t::object) {
    json object(json::value_t::object);
    auto& members = object.get_ref<json::object_t&>();
    for (uint32_t i = 0; i < step.children; ++i) {
      const std::string& name = keys_[steps_[at].key];
      members.emplace_hint(members.end(), name, BuildAt(at));
    }
    return object;
  }
  if (step.type == json::value_t::array) {
    json array(json::value_t::array);
    auto& elements = array.get_ref<json::array_t&>();
    elements.reserve(step.children);
    for (uint32_t i = 0; i < step.children; ++i) elements.emplace_back(BuildAt(at));
    return array;
  }
  return step.scalar;
}

}  // namespace kppbench
