#include "kd_flow_table.h"

#include <utility>

namespace {

constexpr size_t kFirstSlots = 1024;

}  // namespace

kdTrackedFlow* kdFlowTable::Find(uint64_t digest) {
  if (size_ == 0) return nullptr;
  const size_t mask = slots_.size() - 1;
  const uint32_t low = static_cast<uint32_t>(digest);
  for (size_t slot = Home(digest);; slot = (slot + 1) & mask) {
    const Slot& entry = slots_[slot];
    if (entry.position_plus_one == kEmpty) return nullptr;
    if (entry.digest_low != low) continue;
    kdTrackedFlow& flow = at(entry.position_plus_one - 1);
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
  Place(digest, position);
  return flow;
}

void kdFlowTable::Place(uint64_t digest, size_t position) {
  const size_t mask = slots_.size() - 1;
  size_t slot = Home(digest);
  while (slots_[slot].position_plus_one != kEmpty) slot = (slot + 1) & mask;
  slots_[slot] = {static_cast<uint32_t>(position + 1), static_cast<uint32_t>(digest)};
}

size_t kdFlowTable::SlotOf(size_t position) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = Home(at(position).digest);
  while (slots_[slot].position_plus_one != position + 1) slot = (slot + 1) & mask;
  return slot;
}

void kdFlowTable::EraseAt(size_t position) {
  const size_t mask = slots_.size() - 1;
  // Backward-shift deletion: later entries of the probe run move up, so no tombstones build up.
  size_t hole = SlotOf(position);
  for (size_t next = (hole + 1) & mask; slots_[next].position_plus_one != kEmpty;
       next = (next + 1) & mask) {
    const size_t home = Home(slots_[next].digest_low);
    // The entry may fill the hole only if its home is not within (hole, next].
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = Slot();

  const size_t last = size_ - 1;
  if (position != last) {
    slots_[SlotOf(last)].position_plus_one = static_cast<uint32_t>(position + 1);
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
  std::vector<Slot> slots(slot_count);
  slots_.swap(slots);
  for (size_t position = 0; position < size_; ++position) Place(at(position).digest, position);
}

size_t kdFlowTable::MemoryBytes() const {
  size_t bytes = chunks_.size() * kChunk * sizeof(kdTrackedFlow) + slots_.size() * sizeof(Slot);
  for (size_t position = 0; position < size_; ++position) {
    const std::string& name = at(position).host_name;
    if (name.capacity() > 15) bytes += name.capacity() + 1;
  }
  return bytes;
}
