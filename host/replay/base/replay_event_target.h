// The seam between event sources and the plugin. Sources (the event script player; a capture
// file or live interface tracker) turn their input into these calls, in order, on one thread;
// the plugin runner implements them. "where" names the source position for messages, such as
// "events.jsonl:12".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_addr.h"
#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"

namespace kdreplay {

class EventTarget {
 public:
  virtual ~EventTarget() = default;

  // The flow-map, single-flow and packet-statistics overloads of DispatchProcessorEvent, with
  // the event value passed through as it stands.
  virtual void DeliverFlowMap(const std::string& where, kdFlowMap& map, uint32_t value) = 0;
  virtual void DeliverFlow(const std::string& where, std::shared_ptr<kdFlow> flow,
                           uint32_t value) = 0;
  virtual void DeliverStats(const std::string& where, const std::string& iface,
                            kdPacketStats& stats) = 0;
  // Sends the reload event and returns once the plugin has finished reloading (or a time-out).
  virtual void Reload(const std::string& where) = 0;
  // Sets the host's link-layer address of an interface index; null removes it.
  virtual void SetLinkAddress(uint32_t index, const kdAddr* mac) = 0;
  // Writes the plugin's status as one line {"status": OBJECT} to standard output.
  virtual void WriteStatus(const std::string& where) = 0;
};

}  // namespace kdreplay
