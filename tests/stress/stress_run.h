// One stress run: a plugin with its worker reporting back to back (log_interval 0); host threads
// delivering flow-map snapshots, packet-statistics events and single-flow events at full speed;
// this thread rewriting the configuration and sending reload events that flip privacy, nested
// mode, batching and the criteria; and a ledger accounting for every payload.
//
// The run is made of phases, each with one record type. Between two phases every delivering
// thread is parked, so that a change of record type happens at a known point and what it
// discards is known exactly:
//  - a held switch: the worker is held inside the dispatch of a payload pass; a batch of flows
//    is delivered into the emptied table and the type change is requested before the worker is
//    let go, so the reload certainly finds the batch and discards it;
//  - a racing switch: one flow is delivered into the drained table and the type change is
//    requested at once; the worker either reports the flow first or discards it, and the
//    "Aggregator changed, clearing samples." line says which.
// The amount of work is fixed (snapshots and events per phase), never a span of time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stress_traffic.h"

namespace stress {

struct RunPlan {
  std::vector<uint32_t> phase_types;  // consecutive phases have different types
  size_t deliverers = 3;
  size_t snapshots = 3000;  // per delivering thread and phase
  size_t flows_per_snapshot = 48;
  size_t buckets = 4;
  size_t events = 3000;  // packet-statistics and single-flow events per phase
  size_t reloads = 12;   // configuration flips per phase
  // When not empty, the flips also change the record type, cycling through these, while the
  // delivering threads go on: records built for the type being replaced are then dropped, and
  // what the run delivered only bounds what each type reports. Use with a single phase.
  std::vector<uint32_t> racing_types;
};

struct RunResult {
  bool completed = false;
  TypedTraffic delivered;   // what the plugin had to count, per record type
  TypedTraffic offered;     // what each type would have counted had it been configured throughout
  TypedTraffic discarded;   // what type changes discarded, per record type
  TypedTraffic dispatched;  // what the payloads carried, per record type
  size_t discards = 0;      // type changes that discarded something
  size_t clearing_lines = 0;
  size_t reloads_applied = 0;
  size_t reload_failures = 0;
  size_t unexpected_reload_failures = 0;  // failures not caused by a broken file
  size_t broken_files = 0;                // flips that wrote a file that is not JSON
  size_t payload_failures = 0;
  size_t skipped_records = 0;
  size_t thread_deaths = 0;
  size_t payloads = 0;
  size_t nested_payloads = 0;
  std::vector<std::string> faults;
};

// Runs plan; reports timeouts as test failures (result.completed stays false).
RunResult RunStress(const RunPlan& plan);

}  // namespace stress
