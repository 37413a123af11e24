// Records of one key summed across reports, for korvia-replay --summary and --read: a record
// sent in every window of a long run is one row with its totals, not one row per window.
//
// A record's key is its record type and form, its path (nested form) and every column that is
// not a counter; its counters (byte, packet and flow counts, interface counters) are summed.
#pragma once

#include <cstdint>
#include <string>

#include "replay_record_rows.h"

namespace kdreplay {

// What a summary ranks its records by.
enum class SummaryOrder { kBytes, kPackets, kFlows };

// "bytes", "packets" or "flows"; false for anything else.
bool ParseSummaryOrder(const std::string& text, SummaryOrder& order);
const char* SummaryOrderName(SummaryOrder order);

// Whether column holds a count that adds up across reports.
bool IsCounter(const RecordColumn& column);

// The text that tells row's record apart from the others of its layout.
std::string RecordKey(const RecordRow& row);

// Adds row's counters to total, a row of the same key.
void AddCounters(RecordRow& total, const RecordRow& row);

// The row's packets (all its packet counters) or flows; 0 when its layout has none.
uint64_t RowPackets(const RecordRow& row);
uint64_t RowFlows(const RecordRow& row);
uint64_t RowMeasure(const RecordRow& row, SummaryOrder order);

}  // namespace kdreplay
