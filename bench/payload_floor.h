// The second floor of the payload pass: a document of the JSON library built again from plain
// data with the fewest allocations the library allows (arrays reserved, members constructed in
// place, no temporary documents), then serialised. The first floor only serialises a document
// built beforehand; a host that takes a document of this library cannot go below this one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kppbench {

class DocumentRecipe {
 public:
  // Takes document apart into the steps that build it again, in document order.
  explicit DocumentRecipe(const nlohmann::json& document);

  // A new document equal to the one the recipe was taken from.
  nlohmann::json Build() const;

 private:
  struct Step {
    nlohmann::json::value_t type;
    uint32_t key;       // index into keys_ of the member name, for members of an object
    uint32_t children;  // of an object or array
    nlohmann::json scalar;
  };

  void Take(const nlohmann::json& value, uint32_t key);
  nlohmann::json BuildAt(size_t& at) const;

  std::vector<std::string> keys_;
  std::vector<Step> steps_;
};

}  // namespace kppbench
