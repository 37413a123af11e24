#include "kpp_sample_table.h"

#include <functional>
#include <utility>

uint32_t kppSampleTable::Hash(std::string_view key) {
  return static_cast<uint32_t>(std::hash<std::string_view>()(key));
}

kppAggregator* kppSampleTable::Find(std::string_view key) const {
  if (slots_.empty()) return nullptr;
  const uint32_t hash = Hash(key);
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if (slot == 0) return nullptr;
    if (static_cast<uint32_t>(slot >> 32) != hash) continue;
    kppAggregator* record = records_[static_cast<uint32_t>(slot) - 1].get();
    if (record->GetKey() == key) return record;
  }
}

void kppSampleTable::Place(uint32_t hash, size_t position) {
  const size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = (uint64_t{hash} << 32) | (position + 1);
}

void kppSampleTable::Grow() {
  std::vector<uint64_t> old(slots_.empty() ? 16 : slots_.size() * 2, 0);
  old.swap(slots_);
  for (uint64_t slot : old) {
    if (slot != 0) Place(static_cast<uint32_t>(slot >> 32), static_cast<uint32_t>(slot) - 1);
  }
}

void kppSampleTable::Insert(std::shared_ptr<kppAggregator> record) {
  if ((records_.size() + 1) * 4 > slots_.size() * 3) Grow();
  Place(Hash(record->GetKey()), records_.size());
  records_.push_back(std::move(record));
}

void kppSampleTable::clear() {
  slots_.assign(slots_.size(), 0);
  records_.clear();
}

kppSampleTable::Records kppSampleTable::TakeRecords() {
  Records taken;
  taken.swap(records_);
  slots_ = std::vector<uint64_t>();
  return taken;
}

void kppSampleTable::swap(kppSampleTable& other) {
  slots_.swap(other.slots_);
  records_.swap(other.records_);
}
