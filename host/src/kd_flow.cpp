#include "korviad/kd_flow.h"

kdFlow::kdFlow() = default;
kdFlow::kdFlow(const kdFlow&) = default;
kdFlow& kdFlow::operator=(const kdFlow&) = default;
kdFlow::~kdFlow() = default;

kdFlowMap::Source::~Source() = default;

kdFlowMap::kdFlowMap(size_t buckets) : buckets_(buckets), locks_(new std::mutex[buckets]) {}

kdFlowMap::~kdFlowMap() = default;

const kdFlowMap::Bucket& kdFlowMap::AcquireConst(size_t b) const {
  locks_[b].lock();
  if (source_ != nullptr) {
    try {
      source_->Fill(b, buckets_[b]);
    } catch (...) {
      buckets_[b].clear();
      locks_[b].unlock();
      throw;
    }
  }
  return buckets_[b];
}

kdFlowMap::Bucket& kdFlowMap::Acquire(size_t b) {
  return const_cast<Bucket&>(AcquireConst(b));
}

void kdFlowMap::Release(size_t b) const {
  if (source_ != nullptr) buckets_[b].clear();
  locks_[b].unlock();
}

size_t kdFlowMap::Size() const {
  size_t total = 0;
  for (size_t b = 0; b < buckets_.size(); ++b) {
    std::lock_guard<std::mutex> guard(locks_[b]);
    total += source_ != nullptr ? source_->Count(b) : buckets_[b].size();
  }
  return total;
}
