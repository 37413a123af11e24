// Placeholder until the criteria language lands.
#include "korviad/kd_flow_parser.h"

#include "korviad/kd_exception.h"
#include "korviad/kd_flow.h"

kdFlowCriteria::~kdFlowCriteria() = default;
kdFlowParser::kdFlowParser() = default;
kdFlowParser::~kdFlowParser() = default;

std::shared_ptr<const kdFlowCriteria> kdFlowParser::Compile(const std::string& expression) {
  throw kdException("criteria: not supported yet: %s", expression.c_str());
}

bool kdFlowParser::Parse(const kdFlow* flow, std::map<std::string, nlohmann::json>& /*parameters*/,
                         const std::string& expression) {
  return Compile(expression)->Evaluate(*flow);
}
