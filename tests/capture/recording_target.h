// An event target that keeps a copy of everything a tracker delivers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kd_capture_events.h"

namespace capture_testing {

class RecordingTarget : public kdCaptureEventTarget {
 public:
  struct FlowEvent {
    uint32_t event;
    kdFlow flow;
  };
  struct Stats {
    std::string iface;
    kdPacketStats stats;
  };

  void DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) override {
    std::vector<kdFlow> snapshot;
    for (size_t b = 0; b < map->GetBuckets(); ++b) {
      const auto& bucket = map->AcquireConst(b);
      for (const auto& entry : bucket) {
        snapshot.push_back(*entry.second);
        keys_match = keys_match && entry.first == entry.second->flow_digest;
      }
      map->Release(b);
    }
    events.push_back(event);
    snapshots.push_back(std::move(snapshot));
  }
  void DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) override {
    flow_events.push_back({event, *flow});
  }
  void DeliverPacketStats(const std::string& iface, kdPacketStats* stats) override {
    this->stats.push_back({iface, *stats});
  }

  // Packets and bytes of the complete flows over every snapshot: what a plugin counts.
  uint64_t CountedPackets() const {
    uint64_t n = 0;
    for (const auto& snapshot : snapshots)
      for (const auto& f : snapshot)
        if (f.dpi_complete) n += uint64_t{f.packets_a} + f.packets_b;
    return n;
  }
  uint64_t CountedBytes() const {
    uint64_t n = 0;
    for (const auto& snapshot : snapshots)
      for (const auto& f : snapshot)
        if (f.dpi_complete) n += f.bytes_a + f.bytes_b;
    return n;
  }
  size_t CountEvents(uint32_t event) const {
    size_t n = 0;
    for (const auto& e : flow_events) n += e.event == event;
    return n;
  }

  std::vector<uint32_t> events;                // value of each flow-map event
  std::vector<std::vector<kdFlow>> snapshots;  // the flows of each flow-map event
  std::vector<FlowEvent> flow_events;
  std::vector<Stats> stats;
  bool keys_match = true;  // every map key equals its flow's digest
};

}  // namespace capture_testing
