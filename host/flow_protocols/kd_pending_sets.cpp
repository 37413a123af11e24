#include "kd_pending_sets.h"

#include <algorithm>

void kdPendingSets::Add(Entry entry, const DropFn& dropped) {
  if (entry.body.size() > max_bytes_) {
    dropped(entry.key);
    return;
  }
  while (bytes_ + entry.body.size() > max_bytes_) {
    dropped(entries_.front().key);
    bytes_ -= entries_.front().body.size();
    entries_.pop_front();
  }
  bytes_ += entry.body.size();
  entries_.push_back(std::move(entry));
}

std::vector<kdPendingSets::Entry> kdPendingSets::Take(const Key& key) {
  std::vector<Entry> taken;
  auto keep = std::stable_partition(entries_.begin(), entries_.end(),
                                    [&](const Entry& e) { return !(e.key == key); });
  for (auto it = keep; it != entries_.end(); ++it) {
    bytes_ -= it->body.size();
    taken.push_back(std::move(*it));
  }
  entries_.erase(keep, entries_.end());
  return taken;
}

void kdPendingSets::Expire(uint64_t now_ms, const DropFn& dropped) {
  // Arrival times only grow, so the old sets are at the front.
  while (!entries_.empty() && now_ms >= entries_.front().arrived_ms &&
         now_ms - entries_.front().arrived_ms > max_age_ms_) {
    dropped(entries_.front().key);
    bytes_ -= entries_.front().body.size();
    entries_.pop_front();
  }
}

void kdPendingSets::Forget(const kdFlowExporter& exporter) {
  auto gone = std::remove_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    if (!(e.key.exporter == exporter)) return false;
    bytes_ -= e.body.size();
    return true;
  });
  entries_.erase(gone, entries_.end());
}
