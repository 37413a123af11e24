// Hands a flow tracker's events to the plugin runner, naming the capture position ("eth0: packet
// 1234") for messages, says when the flow table is full, and counts what it hands over.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "kd_capture_events.h"
#include "replay_counters.h"
#include "replay_event_target.h"

namespace kdreplay {

class TrackerBridge : public kdCaptureEventTarget {
 public:
  // packets: how many packets the capture has read so far.
  TrackerBridge(EventTarget& target, std::string name, std::function<uint64_t()> packets,
                size_t max_flows, InterfaceCounters& counters);

  void DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) override;
  void DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) override;
  // Statistics come once per update interval: a full flow table is reported as often.
  void DeliverPacketStats(const std::string& iface, kdPacketStats* stats) override;

 private:
  std::string Where() const;

  EventTarget& target_;
  std::string name_;
  std::function<uint64_t()> packets_;
  size_t max_flows_;
  InterfaceCounters& counters_;
};

}  // namespace kdreplay
