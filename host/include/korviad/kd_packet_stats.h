// Per-interface packet counters and their JSON writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "korviad/kd_export.h"

class KD_EXPORT kdSerializer {
 public:
  virtual ~kdSerializer();

  // A path of one name sets j[name]; of two names j[first][second]; any other length writes
  // nothing. The value is always written as an unsigned integer.
  void serialize(nlohmann::json& j, const std::vector<std::string>& path, uint64_t value) const;
};

class KD_EXPORT kdPacketStats : public kdSerializer {
 public:
  kdPacketStats() = default;
  kdPacketStats(const kdPacketStats&) = default;
  kdPacketStats& operator=(const kdPacketStats&) = default;
  ~kdPacketStats() override;

  uint64_t raw = 0;
  uint64_t ethernet = 0;
  uint64_t mpls = 0;
  uint64_t pppoe = 0;
  uint64_t vlan = 0;
  uint64_t fragmented = 0;
  uint64_t discarded = 0;
  uint32_t largest_bytes = 0;
  uint64_t ip = 0;
  uint64_t ip4 = 0;  // counted, never written
  uint64_t ip6 = 0;  // counted, never written
  uint64_t icmp = 0;
  uint64_t igmp = 0;
  uint64_t tcp = 0;
  uint64_t tcp_seq_errors = 0;
  uint64_t tcp_resets = 0;
  uint64_t udp = 0;
  uint64_t ip_bytes = 0;
  uint64_t ip4_bytes = 0;  // counted, never written
  uint64_t ip6_bytes = 0;  // counted, never written
  uint64_t wire_bytes = 0;
  uint64_t discarded_bytes = 0;
  uint64_t queue_dropped = 0;
  uint64_t capture_dropped = 0;
  uint64_t capture_filtered = 0;
  uint64_t flow_dropped = 0;
  uint64_t flow_evicted = 0;

  // Adds every 64-bit counter (wrapping) and keeps the larger largest_bytes.
  kdPacketStats& operator+=(const kdPacketStats& other);

  // Writes the twenty-three keyed counters into j, in the host's fixed order.
  void Encode(nlohmann::json& j) const;

  // The counters by name, for hosts that fill them from text (the JSON keys, and "ip4", "ip6",
  // "ip4_bytes", "ip6_bytes" for the unwritten four). Returns null for an unknown name;
  // largest_bytes is not among them (it is 32-bit): see SetByName.
  uint64_t* CounterByName(const std::string& name);
  // Sets a counter by name; false for an unknown name or a value too large for the counter.
  bool SetByName(const std::string& name, uint64_t value);
};
