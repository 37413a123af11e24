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

// A NAT session log record from a single-flow event.
std::shared_ptr<kppAggregator> kppMakeNatRecord(const kppPlugin& plugin,
                                                const std::shared_ptr<kdFlow>& flow);

// An interface statistics record from a packet-statistics event.
std::shared_ptr<kppAggregator> kppMakeStatsRecord(const kppPlugin& plugin, const std::string& iface,
                                                  const kdPacketStats& stats);
