// Builds the record of a configured type from what the host delivered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"
#include "kpp_aggregator.h"

// The record types fed by events instead of (or besides) flow-map snapshots.
constexpr uint32_t kppStatsRecordType = 5;
constexpr uint32_t kppNatRecordType = 7;

// A record of type `type` from one flow of a flow-map snapshot; null for a type without a flow
// constructor (7, and numbers outside 1 to 8).
std::shared_ptr<kppAggregator> kppMakeFlowRecord(uint32_t type, const kppPlugin& plugin,
                                                 const std::shared_ptr<kdFlow>& flow);

// What the flow pass needs of a record type besides its flow constructor: the key of the record a
// flow would build (flags as kppPlugin::GetFlags()), and the merge of a flow into a stored sample
// of the type, equal to += with that record. A flow whose sample exists then costs no record.
struct kppFlowIntake {
  void (*key_from_flow)(const kdFlow& flow, uint32_t flags, std::string& key);
  // sample is of the type this intake belongs to.
  void (*add_flow)(kppAggregator& sample, const kdFlow& flow);
};

// The intake of a type with a flow constructor; null for the others (7, numbers outside 1 to 8).
const kppFlowIntake* kppFlowIntakeOf(uint32_t type);

// A NAT session log record from a single-flow event.
std::shared_ptr<kppAggregator> kppMakeNatRecord(const kppPlugin& plugin,
                                                const std::shared_ptr<kdFlow>& flow);

// An interface statistics record from a packet-statistics event.
std::shared_ptr<kppAggregator> kppMakeStatsRecord(const kppPlugin& plugin, const std::string& iface,
                                                  const kdPacketStats& stats);
