// The collector side of sFlow version 5: flow samples whose raw packet headers the caller runs
// through its packet decoder, and generic interface counters.
//
// Samples are handed out as they are read; the header bytes they point at belong to the
// datagram and are valid only during the call. Malformed datagrams, samples and records are
// counted per exporter (the UDP source) and skipped; sequence gaps of each agent count lost
// datagrams. State is bounded by max_agents. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "kd_flow_record.h"
#include "kd_sequence_tracker.h"

// The header protocols of sFlow's raw packet header record.
namespace kd_sflow_header {
constexpr uint32_t kEthernet = 1;
constexpr uint32_t kIpv4 = 11;
constexpr uint32_t kIpv6 = 12;
}  // namespace kd_sflow_header

// The libpcap link type under which a header of this protocol decodes, or -1.
int kdSflowLinkType(uint32_t header_protocol);

struct kdSflowSource {
  kdFlowExporter agent;  // the agent address the datagram names
  uint32_t sub_agent = 0;
  uint32_t source_id = 0;  // the data source: type << 24 | index
};

struct kdSflowPacketSample {
  kdSflowSource source;
  uint32_t sampling_rate = 1;  // one packet in this many was sampled (0 becomes 1)
  uint32_t sample_pool = 0;
  uint32_t drops = 0;
  uint32_t input_if = 0;   // ifIndex; 0 when unknown
  uint32_t output_if = 0;  // ifIndex; 0 when unknown, discarded or several
  uint32_t header_protocol = 0;
  uint32_t frame_length = 0;  // the frame's length as the agent saw it, FCS included
  uint32_t stripped = 0;      // bytes removed before the header was taken (the FCS, say)
  const uint8_t* header = nullptr;
  uint32_t header_length = 0;

  // The length a capture would give the packet, as the tracker counts wire bytes.
  uint32_t WireLength() const { return frame_length > stripped ? frame_length - stripped : 0; }
};

struct kdSflowInterfaceCounters {
  kdSflowSource source;
  uint32_t if_index = 0, if_type = 0;
  uint64_t if_speed = 0;
  uint32_t if_direction = 0, if_status = 0;
  uint64_t in_octets = 0;
  uint32_t in_unicast = 0, in_multicast = 0, in_broadcast = 0, in_discards = 0, in_errors = 0,
           in_unknown_protocols = 0;
  uint64_t out_octets = 0;
  uint32_t out_unicast = 0, out_multicast = 0, out_broadcast = 0, out_discards = 0, out_errors = 0,
           promiscuous = 0;
};

class kdSflowDecoder {
 public:
  using PacketFn = std::function<void(const kdSflowPacketSample&)>;
  using CountersFn = std::function<void(const kdSflowInterfaceCounters&)>;

  kdSflowDecoder(PacketFn on_packet, CountersFn on_counters, size_t max_agents = 1024)
      : on_packet_(std::move(on_packet)),
        on_counters_(std::move(on_counters)),
        max_agents_(max_agents) {}

  void Decode(const kdFlowExporter& from, const uint8_t* data, size_t size);

  // As kdFlowCollector::TakeCounters: records counts the packet samples handed out,
  // options_records the interface counter records.
  std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> TakeCounters();

 private:
  struct AgentKey {
    kdFlowExporter agent;
    uint32_t sub_agent;
    bool operator<(const AgentKey& o) const {
      return agent < o.agent || (agent == o.agent && sub_agent < o.sub_agent);
    }
  };

  kdFlowDecodeCounters* CountersOf(const kdFlowExporter& from);

  PacketFn on_packet_;
  CountersFn on_counters_;
  size_t max_agents_;
  std::map<kdFlowExporter, kdFlowDecodeCounters> counters_;
  std::map<AgentKey, kdSequenceTracker> agents_;
};
