#include "kpp_aggregator.h"

kppAggregator::~kppAggregator() = default;

bool kppAggregator::Append(nlohmann::json& stats, const kppRecordSettings& settings) const {
  nlohmann::json record;
  Encode(record, settings);
  if (!settings.nested) {
    stats.push_back(std::move(record));
    return true;
  }
  const kppNestedPath path = NestedPath(settings);
  if (!path.InRange()) return false;
  path.Walk(stats) = std::move(record);
  return true;
}
