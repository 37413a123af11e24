// Where a flow tracker delivers what it observes. The three calls mirror the processor plugin's
// DispatchProcessorEvent overloads, so a host connects a tracker to a plugin with one forwarding
// call each, and tests record them instead.
#pragma once

#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"
#include "korviad/kd_plugin.h"

class kdCaptureEventTarget {
 public:
  virtual ~kdCaptureEventTarget() = default;

  // A snapshot of the flow map (event 1). The tracker resets the counters of the flows that are
  // complete in it once the call returns, so the snapshot must be consumed within the call.
  virtual void DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) = 0;
  // One flow: detection complete (event 4), closed or expired (event 8).
  virtual void DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) = 0;
  // The interface's packet counters since the previous statistics event.
  virtual void DeliverPacketStats(const std::string& iface, kdPacketStats* stats) = 0;
};
