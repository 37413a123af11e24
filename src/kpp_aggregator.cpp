#include "kpp_aggregator.h"

kppAggregator::~kppAggregator() = default;

bool kppAggregator::Append(nlohmann::json& /*stats*/) const { return true; }

void kppAggregator::Encode(nlohmann::json& /*record*/) const {}

kppAggregator* kppSampleTable::Find(const std::string& key) const {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : records_[it->second].get();
}

void kppSampleTable::Insert(std::shared_ptr<kppAggregator> record) {
  index_.emplace(record->GetKey(), records_.size());
  records_.push_back(std::move(record));
}

void kppSampleTable::clear() {
  index_.clear();
  records_.clear();
}

void kppSampleTable::swap(kppSampleTable& other) {
  index_.swap(other.index_);
  records_.swap(other.records_);
}
