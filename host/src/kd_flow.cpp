#include "korviad/kd_flow.h"

kdFlow::kdFlow() = default;
kdFlow::kdFlow(const kdFlow&) = default;
kdFlow& kdFlow::operator=(const kdFlow&) = default;
kdFlow::~kdFlow() = default;

kdFlowMap::kdFlowMap(size_t buckets) : buckets_(buckets), locks_(new std::mutex[buckets]) {}

kdFlowMap::~kdFlowMap() = default;

const kdFlowMap::Bucket& kdFlowMap::AcquireConst(size_t b) const {
  locks_[b].lock();
  return buckets_[b];
}

kdFlowMap::Bucket& kdFlowMap::Acquire(size_t b) {
  locks_[b].lock();
  return buckets_[b];
}

void kdFlowMap::Release(size_t b) const { locks_[b].unlock(); }

size_t kdFlowMap::Size() const {
  size_t total = 0;
  for (size_t b = 0; b < buckets_.size(); ++b) {
    std::lock_guard<std::mutex> guard(locks_[b]);
    total += buckets_[b].size();
  }
  return total;
}
