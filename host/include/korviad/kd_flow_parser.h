// Flow criteria: small boolean expressions over a flow's fields, such as
//   ip_protocol == 6 && (other_port == 443 || detected_protocol_name == 'TLS')
// The language is documented in docs/criteria.md.
#pragma once

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "korviad/kd_export.h"

class kdFlow;
class kdFlowCriteria;

class KD_EXPORT kdFlowParser {
 public:
  kdFlowParser();
  kdFlowParser(const kdFlowParser&) = delete;
  kdFlowParser& operator=(const kdFlowParser&) = delete;
  virtual ~kdFlowParser();

  // True when flow matches expression. parameters is reserved for host extensions. A malformed
  // expression or an unknown field raises kdException naming the position and what was expected.
  // Compiled expressions are cached by their text; safe to call from several threads at once.
  bool Parse(const kdFlow* flow, std::map<std::string, nlohmann::json>& parameters,
             const std::string& expression);

  // Compiles expression (or takes it from the cache). Raises kdException as Parse does.
  // This host's own extra, for its tools: the daemon does not promise it, so plugins call Parse.
  std::shared_ptr<const kdFlowCriteria> Compile(const std::string& expression);

 private:
  std::shared_mutex cache_lock_;
  std::unordered_map<std::string, std::shared_ptr<const kdFlowCriteria>> cache_;
};

// A compiled expression; immutable, so it may be evaluated from several threads at once.
class KD_EXPORT kdFlowCriteria {
 public:
  virtual ~kdFlowCriteria();
  virtual bool Evaluate(const kdFlow& flow) const = 0;
};
