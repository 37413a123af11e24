// The NetFlow v5 wire format: a 24-byte header and up to 30 fixed 48-byte IPv4 records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kd_flow_record.h"

namespace kd_netflow5 {
constexpr size_t kHeaderSize = 24;
constexpr size_t kRecordSize = 48;
constexpr size_t kMaxRecords = 30;
}  // namespace kd_netflow5

struct kdNetflow5Header {
  uint16_t count = 0;
  uint32_t uptime_ms = 0;
  uint32_t unix_secs = 0;
  uint32_t unix_nsecs = 0;
  uint32_t sequence = 0;  // flows the exporter sent before this datagram
  uint8_t engine_type = 0;
  uint8_t engine_id = 0;
  uint16_t sampling = 0;  // 2 bits of mode, 14 of interval

  uint32_t SamplingRate() const {
    uint32_t interval = sampling & 0x3FFFu;
    return interval == 0 ? 1 : interval;
  }
  uint32_t Domain() const { return static_cast<uint32_t>(engine_type) << 8 | engine_id; }
};

// Reads a v5 datagram: its header, and into records the records that are wholly there (at most
// count), unscaled, with their times made absolute from the header's clocks. False when the
// header itself is cut short or its count is 0 or over 30.
bool kdReadNetflow5(const uint8_t* data, size_t size, kdNetflow5Header& header,
                    std::vector<kdFlowRecord>& records);
