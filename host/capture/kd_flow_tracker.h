// The flow tracker: turns the packets of one capture interface into bidirectional flows, keeps
// them in a flow map and delivers flow-map, single-flow and packet-statistics events in capture
// time. docs/capture.md states its rules for users.
//
// Invariants the tracker keeps:
//  - Every packet decoded as IP is counted in exactly one flow, or in "discarded" when the
//    flow table is full; every other packet is counted in "discarded".
//  - A flow's byte and packet counters hold what it carried since the last flow-map event in
//    which it was complete. Complete flows are reset right after each flow-map event, so a
//    consumer that sums the complete flows of every snapshot counts every packet exactly once.
//  - A flow stays complete once complete; closed flows leave the map after the next flow-map
//    event, and at Finish every flow is closed and delivered one last time.
//  - With a window, no flow is incomplete in the flow-map event that ends a window.
//
// Flows are kept compactly (kdFlowTable). The flow objects the target sees are built from them:
// for a single-flow event for its call, and for a flow-map event one bucket at a time, while the
// target holds that bucket. A flood of short flows costs the tracker a small record per flow
// rather than a full flow object.
//
// Single-threaded: one thread calls every method, and the target is called on that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kd_capture_events.h"
#include "kd_flow_table.h"
#include "kd_local_networks.h"
#include "kd_packet_decoder.h"
#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"

// Sees every IP packet a tracker counts in a flow, as decoded: what an exporter of the tracked
// traffic needs. Called on the tracker's thread.
class kdPacketObserver {
 public:
  virtual ~kdPacketObserver() = default;
  // if_index is the capture interface's index (kdInterface::kNoIndex when it has none); digest
  // the flow's, the same for every packet of the flow while the tracker holds it. slot is kept
  // with the flow for the observer, 0 at first: it may store there what finds its own record of
  // the flow without a look-up, and must check what it finds (the tracker forgets flows).
  virtual void ObservePacket(const kdDecodedPacket& packet, uint64_t time_us, uint32_t if_index,
                             uint64_t digest, uint32_t& slot) = 0;
};

// Traffic a flow exporter reported instead of packets the tracker saw: `packets` packets of
// `bytes` IP bytes from the source to the destination of `key` (addresses, ports when it has
// them, protocol, VLAN and MACs), and the reverse counters the other way.
struct kdReportedTraffic {
  kdDecodedPacket key;
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t reverse_packets = 0;
  uint64_t reverse_bytes = 0;
};

struct kdFlowTrackerConfig {
  // The capture interface every flow refers to.
  std::shared_ptr<kdInterface> iface = std::make_shared<kdInterface>();
  kdLocalNetworks local_networks = kdLocalNetworks::Defaults();
  uint64_t update_interval_us = 15'000'000;  // capture time between flow-map events, > 0
  uint64_t tcp_idle_us = 300'000'000;
  uint64_t other_idle_us = 30'000'000;
  size_t buckets = 1024;
  // Flows beyond this are not created: their packets count as discarded and flow_dropped.
  size_t max_flows = 1'000'000;
  // The consumer's reporting window, 0 for none. A flow-map event then also falls on every
  // multiple of it from the start, and at each of those every flow still incomplete counts as
  // complete: traffic whose detection never completes (a lone SYN, a scan) is reported in the
  // window it was captured in, not when it expires.
  uint64_t window_us = 0;
  // Told of every IP packet; null for none. Must outlive the tracker.
  kdPacketObserver* observer = nullptr;
};

class kdFlowTracker {
 public:
  kdFlowTracker(kdFlowTrackerConfig config, kdCaptureEventTarget& target);
  kdFlowTracker(const kdFlowTracker&) = delete;
  kdFlowTracker& operator=(const kdFlowTracker&) = delete;
  ~kdFlowTracker();

  // Starts the clock at time_us (microseconds since the epoch) without a packet, as a live
  // capture does when it opens; otherwise the first packet starts it.
  void Start(uint64_t time_us);
  // One captured packet of the given link type. Capture time never runs backwards: a packet
  // older than one already seen counts at the latest time seen.
  // A sampled packet stands for `scale` packets: every counter grows by that many.
  void Packet(int link_type, uint64_t time_us, const uint8_t* data, uint32_t caplen,
              uint32_t wirelen, uint32_t scale = 1);
  // Traffic an exporter reported at time_us. Its flow is found or created as for a packet, so
  // that a record and its reverse meet in one flow, and is complete at once: there is no
  // payload to classify it by. Byte counters take the reported IP bytes.
  void Reported(uint64_t time_us, const kdReportedTraffic& traffic);
  // Lets capture time pass without a packet (a quiet live interface).
  void AdvanceTime(uint64_t time_us);
  // Adds packets the capture itself lost; reported with the next statistics event.
  void AddCaptureDropped(uint64_t packets);
  // The end of the capture: every flow expires, then the last flow-map and statistics events.
  // The tracker is empty afterwards and may be fed again.
  void Finish();

  size_t FlowCount() const { return flows_.size(); }
  // Counters of the whole capture so far.
  kdPacketStats Totals() const;

 private:
  void Clock(uint64_t time_us);
  // The first flow-map event due after time_us: the next update, or the end of the window when
  // that comes first.
  uint64_t NextEventAfter(uint64_t time_us) const;
  void RunUpdate(uint64_t at_us);
  void Count(const kdDecodedPacket& packet, kdDecodeResult result, uint64_t packets,
             uint64_t wire_bytes, uint64_t ip_bytes);
  // Adds traffic from one side of a flow, learning its MACs.
  void AddTraffic(kdTrackedFlow& flow, const kdDecodedPacket& packet, bool source_is_a,
                  uint64_t packets, uint64_t bytes);
  // The flow of a packet, created if new; null when the table is full.
  kdTrackedFlow* FindOrCreate(const kdDecodedPacket& packet, bool& source_is_a, bool& created);
  // Sets which endpoint is local and what kind of address the other one is, from a new flow's
  // first packet.
  void Classify(kdTrackedFlow& flow, const kdDecodedPacket& packet, bool source_is_a);
  // Classifies a flow by its first payload.
  void Inspect(kdTrackedFlow& flow, const kdDecodedPacket& packet);
  void Complete(kdTrackedFlow& flow);
  void Close(kdTrackedFlow& flow);
  void DeliverFlow(kdPluginProcessor::Event event, const kdTrackedFlow& flow);
  void DeliverSnapshot();
  // Fills out with everything the tracker knows of flow.
  void Materialise(const kdTrackedFlow& flow, kdFlow& out) const;

  class Snapshot;

  kdFlowTrackerConfig config_;
  kdCaptureEventTarget& target_;
  kdFlowTable flows_;
  kdFlowMap map_;                   // its buckets are filled from a Snapshot while acquired
  std::shared_ptr<kdFlow> single_;  // reused for single-flow events while nobody keeps it
  uint64_t seed_;  // digest seed: flows of different interfaces never share digests
  bool started_ = false;
  uint64_t start_us_ = 0;  // updates and windows are counted from here
  uint64_t now_us_ = 0;
  uint64_t next_update_us_ = 0;
  kdPacketStats pending_;  // since the last statistics event
  kdPacketStats delivered_;
};
