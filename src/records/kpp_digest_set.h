// The digests of the flows merged into a sample (types 2, 3 and 6 count and list them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "korviad/kd_flow.h"

// Iterates in order of first insertion. Most samples hold a few flows: their list is searched as
// it is. A hash set is built beside it only once it grows past kIndexedFrom, so that a sample of
// many flows stays cheap to merge into.
class kppDigestSet {
 public:
  static constexpr size_t kIndexedFrom = 16;

  void Insert(uint64_t digest);
  // Takes the last entry of a flow's digest list; a flow without digests adds none.
  void InsertLastOf(const kdFlow& flow) {
    if (!flow.digests.empty()) Insert(flow.digests.back());
  }
  void Merge(const kppDigestSet& other) {
    for (uint64_t digest : other.order_) Insert(digest);
  }
  size_t size() const { return order_.size(); }
  const std::vector<uint64_t>& values() const { return order_; }
  // The digest texts as a JSON array of strings.
  nlohmann::json ToJson() const;

 private:
  std::vector<uint64_t> order_;
  // Present once order_ is longer than kIndexedFrom, holding the same digests.
  std::unique_ptr<std::unordered_set<uint64_t>> index_;
};
