// Any bytes as a criteria expression: it compiles or raises kdException, and a compiled one
// evaluates on flows of every shape.
#include <cstdint>
#include <string>

#include "korviad/korviad.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kdFlowParser parser;
  static const std::shared_ptr<kdFlow> flows[] = {
      testing_support::MakeFlow(),
      std::make_shared<kdFlow>(),
  };
  std::string expression(reinterpret_cast<const char*>(data), size);
  std::shared_ptr<const kdFlowCriteria> criteria;
  try {
    criteria = parser.Compile(expression);
  } catch (const kdException&) {
    return 0;
  }
  for (const auto& flow : flows) criteria->Evaluate(*flow);
  return 0;
}
