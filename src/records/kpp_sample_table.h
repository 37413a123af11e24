// The samples of the current reporting window, by key, in order of arrival.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "kpp_aggregator.h"

// Not thread-safe: the plugin guards it with its lock.
class kppSampleTable {
 public:
  using Records = std::vector<std::shared_ptr<kppAggregator>>;

  kppAggregator* Find(std::string_view key) const;
  // Stores a record whose key is not in the table yet.
  void Insert(std::shared_ptr<kppAggregator> record);

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void clear();
  // Empties the table and hands its samples over, in table order.
  Records TakeRecords();
  void swap(kppSampleTable& other);
  const Records& records() const { return records_; }

 private:
  static uint32_t Hash(std::string_view key);
  // Places a record (by position and hash) into slots_, which has a free slot.
  void Place(uint32_t hash, size_t position);
  void Grow();

  // The index: open addressing with linear probing over a power-of-two number of slots, at most
  // three quarters full. A slot holds its key's hash in the upper half and 1 + the record's
  // position in records_ in the lower (0: free). Eight bytes a slot, no allocation per sample,
  // and a hash mismatch is rejected without touching the record.
  std::vector<uint64_t> slots_;
  Records records_;
};
