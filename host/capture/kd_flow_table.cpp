#include "kd_flow_table.h"

#include <utility>

namespace {

constexpr size_t kFirstSlots = 1024;

}  // namespace

kdTrackedFlow* kdFlowTable::Find(uint64_t digest) {
  if (size_ == 0) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t slot = Home(digest);; slot = (slot + 1) & mask) {
    uint32_t entry = slots_[slot];
    if (entry == kEmpty) return nullptr;
    kdTrackedFlow& flow = at(entry - 1);
    if (flow.digest == digest) return &flow;
  }
}

kdTrackedFlow& kdFlowTable::Insert(uint64_t digest) {
  // At most half full: probes stay short even when digests bunch (colliding keys take the
  // digest after theirs).
  if ((size_ + 1) * 2 > slots_.size()) Rebuild(slots_.empty() ? kFirstSlots : slots_.size() * 2);
  if (size_ == chunks_.size() * kChunk)
    chunks_.push_back(std::make_unique<kdTrackedFlow[]>(kChunk));
  const size_t position = size_++;
  kdTrackedFlow& flow = at(position);
  flow = kdTrackedFlow();
  flow.digest = digest;
  const size_t mask = slots_.size() - 1;
  size_t slot = Home(digest);
  while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
  slots_[slot] = static_cast<uint32_t>(position + 1);
  return flow;
}

size_t kdFlowTable::SlotOf(size_t position) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = Home(at(position).digest);
  while (slots_[slot] != position + 1) slot = (slot + 1) & mask;
  return slot;
}

void kdFlowTable::EraseAt(size_t position) {
  const size_t mask = slots_.size() - 1;
  // Backward-shift deletion: later entries of the probe run move up, so no tombstones build up.
  size_t hole = SlotOf(position);
  for (size_t next = (hole + 1) & mask; slots_[next] != kEmpty; next = (next + 1) & mask) {
    const size_t home = Home(at(slots_[next] - 1).digest);
    // The entry may fill the hole only if its home is not within (hole, next].
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = kEmpty;

  const size_t last = size_ - 1;
  if (position != last) {
    slots_[SlotOf(last)] = static_cast<uint32_t>(position + 1);
    at(position) = std::move(at(last));
  }
  at(last) = kdTrackedFlow();
  --size_;
  if (size_ == 0) {
    Clear();
  } else if (chunks_.size() * kChunk >= size_ + 2 * kChunk) {
    chunks_.pop_back();  // one spare chunk stays
  }
}

void kdFlowTable::Clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  slots_.clear();
  slots_.shrink_to_fit();
  size_ = 0;
}

void kdFlowTable::Rebuild(size_t slot_count) {
  std::vector<uint32_t> slots(slot_count, kEmpty);
  slots_.swap(slots);
  const size_t mask = slots_.size() - 1;
  for (size_t position = 0; position < size_; ++position) {
    size_t slot = Home(at(position).digest);
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(position + 1);
  }
}

size_t kdFlowTable::MemoryBytes() const {
  size_t bytes = chunks_.size() * kChunk * sizeof(kdTrackedFlow) + slots_.size() * sizeof(uint32_t);
  for (size_t position = 0; position < size_; ++position) {
    const std::string& name = at(position).host_name;
    if (name.capacity() > 15) bytes += name.capacity() + 1;
  }
  return bytes;
}
