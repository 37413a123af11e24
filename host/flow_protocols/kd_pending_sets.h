// Data sets that came before their template, kept for a bounded time and number of bytes.
//
// A set is kept whole, with the clocks of its message, until its template comes (Take), it is
// older than the age limit (Expire), or newer sets need its room (Add drops the oldest first).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "kd_flow_record.h"
#include "kd_record_values.h"

class kdPendingSets {
 public:
  struct Key {
    kdFlowExporter exporter;
    uint16_t version = 0;
    uint32_t domain = 0;
    uint16_t template_id = 0;
    bool operator==(const Key& o) const {
      return exporter == o.exporter && version == o.version && domain == o.domain &&
             template_id == o.template_id;
    }
  };
  struct Entry {
    Key key;
    kdRecordClock clock;
    uint64_t arrived_ms = 0;
    std::vector<uint8_t> body;  // the set's records, without its header
  };
  // Told of each set dropped unread.
  using DropFn = std::function<void(const Key&)>;

  kdPendingSets(size_t max_bytes, uint64_t max_age_ms)
      : max_bytes_(max_bytes), max_age_ms_(max_age_ms) {}

  // Keeps entry, dropping the oldest sets to make room; a set larger than the whole budget is
  // dropped at once.
  void Add(Entry entry, const DropFn& dropped);
  // Removes and returns the sets waiting for key's template, oldest first.
  std::vector<Entry> Take(const Key& key);
  void Expire(uint64_t now_ms, const DropFn& dropped);
  // Drops every set of an exporter that is forgotten (uncounted: its counters go too).
  void Forget(const kdFlowExporter& exporter);

  size_t bytes() const { return bytes_; }
  size_t size() const { return entries_.size(); }

 private:
  size_t max_bytes_;
  uint64_t max_age_ms_;
  size_t bytes_ = 0;
  std::deque<Entry> entries_;
};
