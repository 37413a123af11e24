// The floor of the flow pass: each record type's key text built straight from a flow into a
// reused buffer, and a flat open-addressing table that sums counters per key. No locks, no
// records, no JSON: what any aggregation of these keys has to do at the least.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korviad/kd_flow.h"

namespace kppbench {

// Appends the host's text form of addr (dotted quad, inet_ntop form, or lower-case MAC pairs),
// formatted from its bytes.
void FloorAddressText(const kdAddr& addr, std::string& out);

// Clears key and writes the key text record type `type` gives flow (types 1, 2, 3, 4, 6 with its
// default key, 8). Returns false for a flow the type does not build (type 1, unknown endpoint).
bool FloorKey(uint32_t type, bool privacy, const kdFlow& flow, std::string& key);

// Counters summed per key.
struct FloorCounters {
  uint64_t bytes_local = 0;
  uint64_t bytes_other = 0;
  uint32_t packets = 0;
};

// Linear probing over a power-of-two array of eight-byte slots (hash and entry position), at most
// three quarters full, over a vector of entries in arrival order.
class FloorTable {
 public:
  FloorCounters& Find(std::string_view key);
  size_t size() const { return entries_.size(); }
  void clear();

 private:
  struct Entry {
    std::string key;
    FloorCounters counters;
  };
  void Place(uint32_t hash, size_t position);
  void Grow();

  std::vector<uint64_t> slots_;
  std::vector<Entry> entries_;
};

}  // namespace kppbench
