// Sequence numbers of one exporter's stream (an IPFIX domain, a v9 source ID, a v5 engine, an
// sFlow agent). A gap counts what was lost; a number that goes back is a restart or reordering,
// counted apart and followed from then on. Nothing here is fatal.
#pragma once

#include <cstdint>

class kdSequenceTracker {
 public:
  struct Result {
    uint32_t lost = 0;
    bool out_of_order = false;
  };

  // Checks a message's sequence number against the expected one, then expects next_expected.
  Result Check(uint32_t sequence, uint32_t next_expected) {
    Result r;
    if (known_) {
      uint32_t gap = sequence - expected_;  // modulo 2^32, as the counters wrap
      if (gap != 0 && gap < 0x80000000u) {
        r.lost = gap;
      } else if (gap != 0) {
        r.out_of_order = true;
      }
    }
    Expect(next_expected);
    return r;
  }

  void Expect(uint32_t next) {
    expected_ = next;
    known_ = true;
  }
  // The next number cannot be known (records of unknown count were in the message).
  void Forget() { known_ = false; }

 private:
  uint32_t expected_ = 0;
  bool known_ = false;
};
