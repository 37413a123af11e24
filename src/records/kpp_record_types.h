// The record types: one entry per type says how its records are built, which of the host's
// deliveries feed it, and how its samples become payloads. The plugin's passes, its event intake
// and its configuration read this table and nothing else of the types.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "korviad/kd_packet_stats.h"
#include "kpp_aggregator.h"
#include "kpp_record_rows.h"
#include "kpp_record_settings.h"

struct kppRecordType {
  uint32_t number;
  // Its title and how its rows are laid out.
  const kppRecordRows* rows;

  // Fed by each selected flow of a flow-map snapshot, when from_flow is set. The flow pass builds
  // no record for a flow whose sample exists: key_from_flow writes the key the record would have,
  // and add_flow merges the flow into the stored sample (of this type) as the record would merge.
  std::shared_ptr<kppAggregator> (*from_flow)(const kppRecordSettings& settings,
                                              const std::shared_ptr<kdFlow>& flow);
  void (*key_from_flow)(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void (*add_flow)(kppAggregator& sample, const kdFlow& flow);
  // Flows whose local endpoint is unknown (endpoint_map 0) are left out.
  bool needs_local_endpoint;

  // Fed by single-flow events (DPI complete, expiry), when set; null for a flow it does not log.
  std::shared_ptr<kppAggregator> (*from_flow_event)(const kppRecordSettings& settings,
                                                    const std::shared_ptr<kdFlow>& flow);
  // Fed by per-interface packet-statistics events, when set.
  std::shared_ptr<kppAggregator> (*from_stats_event)(const kppRecordSettings& settings,
                                                     const std::string& iface,
                                                     const kdPacketStats& stats);

  // Each sample is a payload of its own (Encode), rather than a row of a shared "stats".
  bool own_payload;
};

// The entry of type number, or null when no type has that number.
const kppRecordType* kppRecordTypeOf(uint32_t number);
