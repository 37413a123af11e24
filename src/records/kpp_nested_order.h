// The samples of a table in the order of their places in the nested tree: placed in that order,
// each level of the tree is added at the end of its object, and the samples that share a place
// come side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kpp_record_settings.h"
#include "kpp_sample_table.h"

class kppNestedOrder {
 public:
  kppNestedOrder(const kppSampleTable::Records& records, const kppRecordSettings& settings);

  // Positions in records, by place in the tree; samples of one place in table order.
  const std::vector<uint32_t>& order() const { return order_; }
  // Whether samples a and b (positions in records) have the same place.
  bool SamePlace(uint32_t a, uint32_t b) const { return Key(a) == Key(b); }

 private:
  std::string_view Key(uint32_t i) const {
    return std::string_view(keys_).substr(starts_[i], starts_[i + 1] - starts_[i]);
  }

  // Each sample's path as a text that sorts as the tree orders the places (kppNestedPath's
  // AppendOrderKey), all in one buffer: sample i's is keys_[starts_[i], starts_[i + 1]).
  std::string keys_;
  std::vector<size_t> starts_;
  std::vector<uint32_t> order_;
};
