#include "korviad/kd_flow_parser.h"

#include <mutex>

#include "kd_criteria_compiler.h"
#include "korviad/kd_exception.h"
#include "korviad/kd_flow.h"

namespace {

// Bounds the memory a host that feeds ever new texts can pin; the working set of a plugin is its
// handful of configured expressions, far below this.
constexpr size_t kMaxCached = 1024;

class CompiledCriteria : public kdFlowCriteria {
 public:
  explicit CompiledCriteria(kdCriteriaNodePtr root) : root_(std::move(root)) {}
  bool Evaluate(const kdFlow& flow) const override { return root_->Evaluate(flow); }

 private:
  kdCriteriaNodePtr root_;
};

}  // namespace

kdFlowCriteria::~kdFlowCriteria() = default;
kdFlowParser::kdFlowParser() = default;
kdFlowParser::~kdFlowParser() = default;

std::shared_ptr<const kdFlowCriteria> kdFlowParser::Compile(const std::string& expression) {
  {
    std::shared_lock<std::shared_mutex> guard(cache_lock_);
    auto found = cache_.find(expression);
    if (found != cache_.end()) return found->second;
  }
  // Compiled outside the lock so that a long text does not hold up evaluations of others.
  std::shared_ptr<const kdFlowCriteria> compiled =
      std::make_shared<CompiledCriteria>(kdCompileCriteria(expression));
  std::unique_lock<std::shared_mutex> guard(cache_lock_);
  if (cache_.size() >= kMaxCached && cache_.find(expression) == cache_.end()) cache_.clear();
  // A racing compile of the same text may have won; everyone then shares its object.
  return cache_.emplace(expression, std::move(compiled)).first->second;
}

bool kdFlowParser::Parse(const kdFlow* flow, std::map<std::string, nlohmann::json>& /*parameters*/,
                         const std::string& expression) {
  if (flow == nullptr) throw kdException("criteria: no flow to evaluate");
  // Plugins ask once per flow and expression: a cached expression is evaluated under the shared
  // lock, without taking a reference to it.
  {
    std::shared_lock<std::shared_mutex> guard(cache_lock_);
    auto found = cache_.find(expression);
    if (found != cache_.end()) return found->second->Evaluate(*flow);
  }
  return Compile(expression)->Evaluate(*flow);
}
