#include "replay_tracker_bridge.h"

#include <utility>

#include "replay_report.h"

namespace kdreplay {

TrackerBridge::TrackerBridge(EventTarget& target, std::string name,
                             std::function<uint64_t()> packets, size_t max_flows,
                             InterfaceCounters& counters)
    : target_(target),
      name_(std::move(name)),
      packets_(std::move(packets)),
      max_flows_(max_flows),
      counters_(counters) {}

void TrackerBridge::DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) {
  counters_.flow_map_events.fetch_add(1, std::memory_order_relaxed);
  target_.DeliverFlowMap(Where(), *map, event);
}

void TrackerBridge::DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) {
  if (event == kdPluginProcessor::EVENT_FLOW_EXPIRE)
    counters_.flows_evicted.fetch_add(1, std::memory_order_relaxed);
  target_.DeliverFlow(Where(), flow, event);
}

void TrackerBridge::DeliverPacketStats(const std::string& iface, kdPacketStats* stats) {
  counters_.flow_limit_dropped.fetch_add(stats->flow_dropped, std::memory_order_relaxed);
  counters_.undecoded.fetch_add(stats->discarded, std::memory_order_relaxed);
  if (stats->flow_dropped > 0) {
    Report(
        "%s: the flow table is full (--max-flows %zu): %llu packets of untracked flows "
        "discarded since the last update",
        Where().c_str(), max_flows_, static_cast<unsigned long long>(stats->flow_dropped));
  }
  target_.DeliverStats(Where(), iface, *stats);
}

std::string TrackerBridge::Where() const {
  return name_ + ": packet " + std::to_string(packets_());
}

}  // namespace kdreplay
