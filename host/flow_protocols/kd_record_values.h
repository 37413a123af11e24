// What one v9 or IPFIX data record says, read through its template: the flow members it
// carries and the sampling members of options data. Fields of unknown elements, of other
// enterprises and of lengths an element cannot have are skipped, never guessed at.
#pragma once

#include <cstdint>

#include "kd_flow_record.h"
#include "kd_flow_template.h"
#include "kd_wire.h"

// The clocks of the message a record came in, for the elements that give times relative to it.
struct kdRecordClock {
  uint64_t export_ms = 0;        // the header's export time
  bool has_uptime_base = false;  // v9: Unix time in ms at which the exporter's uptime was 0
  uint64_t uptime_base_ms = 0;
  // IPFIX: the exporter's systemInitTimeMilliseconds, when options data announced it.
  bool has_system_init = false;
  uint64_t system_init_ms = 0;
};

struct kdRecordValues {
  kdFlowRecord record;  // counters as read, not scaled by any sampling rate
  bool has_sampler_id = false;
  uint64_t sampler_id = 0;       // samplerId (v9) or selectorId (IPFIX)
  uint32_t rate = 0;             // a sampling rate the record gives itself, 0 when none
  bool has_system_init = false;  // systemInitTimeMilliseconds, which options data announces
  uint64_t system_init_ms = 0;
};

// Reads one data record at r's position. False when it runs past r's end.
bool kdReadRecordValues(kdWireReader& r, const kdFlowTemplate& t, const kdRecordClock& clock,
                        kdRecordValues& out);
