// A place outside the process that stores the payloads of one or more sinks (a database, a
// message bus). Write is called from the thread that dispatches (the plugin's worker), one
// payload per channel; implementations guard their own state.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "replay_counters.h"

namespace kdreplay {

class PayloadSink {
 public:
  virtual ~PayloadSink() = default;

  // Connects or opens, before the plugin starts. False with a reason in error when the run
  // cannot go on.
  virtual bool Open(std::string& error) = 0;

  // Stores or queues one payload, whose records are of record_type (0 when the plugin did not
  // say). A failure is reported on standard error and returns false.
  virtual bool Write(const std::string& sink, const std::string& channel,
                     const nlohmann::json& payload, uint32_t flags, uint32_t record_type) = 0;

  // After the last Write: completes what is pending and reports what was lost. Returns the number
  // of payloads that Write accepted but that were not stored after all.
  virtual uint64_t Close() = 0;

  // A sink whose deliveries are confirmed later (by Kafka's brokers) counts them into counters,
  // from whatever thread learns of them. Called before Open.
  virtual void CountDeliveriesInto(SinkCounters& /*counters*/) {}
};

}  // namespace kdreplay
