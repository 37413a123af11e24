// The flow tracker's store: compact flow records found by their 64-bit digest.
//
// Records live in fixed-size chunks (no record moves when the store grows) at dense positions
// 0 .. size()-1; an open-addressing index of 32-bit positions, linear probing from the digest's
// low bits, finds them. A flood of short flows thus costs one record and two index slots per
// flow, with no allocation per flow besides a host name longer than the string keeps inline.
// Each index slot also holds the low half of its flow's digest, so that probing and erasing read
// records only on a likely match.
//
// Erasing moves the last record into the freed position, so positions are stable only while
// nothing is erased. Digests are unique within a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kd_protocol_table.h"

// What the tracker keeps of one flow. The full flow object the plugin sees is built from this
// at each event (see kdFlowTracker).
struct kdTrackedFlow {
  // IP version, protocol, VLAN id (2 bytes), then endpoint A's address (16 bytes, IPv4 in the
  // first 4) and port (2, big-endian), then endpoint B's; A is the lower (address, port) pair.
  static constexpr size_t kKeySize = 40;

  uint8_t key[kKeySize] = {};
  uint64_t digest = 0;
  uint64_t bytes_a = 0, bytes_b = 0;
  uint32_t packets_a = 0, packets_b = 0;
  uint64_t first_seen_us = 0, last_seen_us = 0;
  const kdProtocolInfo* protocol = nullptr;        // static table entry
  const kdApplicationInfo* application = nullptr;  // static table entry, or none
  std::string host_name;
  uint8_t mac_a[6] = {}, mac_b[6] = {};
  bool has_mac_a = false, has_mac_b = false;
  bool has_ports = false;
  bool fin_a = false, fin_b = false;  // each side sent a FIN
  bool inspected = false;             // its first payload has been looked at
  bool dpi_complete = false;
  bool closed = false;
  uint8_t endpoint_map = 0, origin = 0, other_type = 0;
  uint32_t observer_slot = 0;  // the packet observer's own number for the flow; 0: none yet

  uint8_t ip_version() const { return key[0]; }
  uint8_t ip_protocol() const { return key[1]; }
  uint16_t vlan_id() const { return static_cast<uint16_t>(key[2] << 8 | key[3]); }
  const uint8_t* address_a() const { return key + 4; }
  const uint8_t* address_b() const { return key + 22; }
  uint16_t port_a() const { return static_cast<uint16_t>(key[20] << 8 | key[21]); }
  uint16_t port_b() const { return static_cast<uint16_t>(key[38] << 8 | key[39]); }
};

class kdFlowTable {
 public:
  kdFlowTable() = default;
  kdFlowTable(const kdFlowTable&) = delete;
  kdFlowTable& operator=(const kdFlowTable&) = delete;

  size_t size() const { return size_; }
  kdTrackedFlow& at(size_t position) { return chunks_[position / kChunk][position % kChunk]; }
  const kdTrackedFlow& at(size_t position) const {
    return chunks_[position / kChunk][position % kChunk];
  }

  // The flow with this digest, or null.
  kdTrackedFlow* Find(uint64_t digest);
  // A new, default flow under digest, which no flow of the table has yet.
  kdTrackedFlow& Insert(uint64_t digest);
  // Removes the flow at position; the last flow moves there.
  void EraseAt(size_t position);
  // Removes every flow and gives the memory back.
  void Clear();

  // Bytes the table holds, records and index, for the memory figures.
  size_t MemoryBytes() const;

 private:
  static constexpr size_t kChunk = 4096;
  static constexpr uint32_t kEmpty = 0;

  struct Slot {
    uint32_t position_plus_one = kEmpty;
    uint32_t digest_low = 0;
  };

  size_t Home(uint64_t digest) const { return static_cast<uint32_t>(digest) & (slots_.size() - 1); }
  // Places position under digest in the first free slot of its probe run.
  void Place(uint64_t digest, size_t position);
  // The index slot that holds position.
  size_t SlotOf(size_t position) const;
  void Rebuild(size_t slot_count);

  std::vector<std::unique_ptr<kdTrackedFlow[]>> chunks_;
  std::vector<Slot> slots_;  // a power of two, at most half of them in use
  size_t size_ = 0;
};
