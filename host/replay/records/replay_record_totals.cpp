#include "replay_record_totals.h"

#include <cstdlib>
#include <cstring>

namespace kdreplay {

namespace {

bool IsPacketMember(const char* member) {
  return strcmp(member, "packets") == 0 || strcmp(member, "local_packets") == 0 ||
         strcmp(member, "other_packets") == 0;
}

bool IsFlowMember(const char* member) {
  return strcmp(member, "flow_count") == 0 || strcmp(member, "digests") == 0;
}

uint64_t Number(const std::optional<std::string>& cell) {
  return cell ? strtoull(cell->c_str(), nullptr, 10) : 0;
}

template <typename Pick>
uint64_t SumColumns(const RecordRow& row, Pick pick) {
  uint64_t sum = 0;
  for (size_t i = 0; i < row.layout->columns.size(); ++i) {
    if (pick(row.layout->columns[i].member)) sum += Number(row.cells[i]);
  }
  return sum;
}

}  // namespace

bool ParseSummaryOrder(const std::string& text, SummaryOrder& order) {
  for (SummaryOrder candidate :
       {SummaryOrder::kBytes, SummaryOrder::kPackets, SummaryOrder::kFlows}) {
    if (text == SummaryOrderName(candidate)) {
      order = candidate;
      return true;
    }
  }
  return false;
}

const char* SummaryOrderName(SummaryOrder order) {
  switch (order) {
    case SummaryOrder::kPackets:
      return "packets";
    case SummaryOrder::kFlows:
      return "flows";
    case SummaryOrder::kBytes:
      break;
  }
  return "bytes";
}

bool IsCounter(const RecordColumn& column) {
  return column.counter;
}

std::string RecordKey(const RecordRow& row) {
  // Unit separators keep "a","bc" apart from "ab","c"; an absent cell differs from an empty one.
  std::string key = std::to_string(row.layout->type) + (row.nested ? "n" : "f") + row.path;
  for (size_t i = 0; i < row.layout->columns.size(); ++i) {
    if (IsCounter(row.layout->columns[i])) continue;
    key += '\x1f';
    if (row.cells[i]) key += '=' + *row.cells[i];
  }
  return key;
}

void AddCounters(RecordRow& total, const RecordRow& row) {
  for (size_t i = 0; i < total.layout->columns.size(); ++i) {
    if (!IsCounter(total.layout->columns[i]) || !row.cells[i]) continue;
    total.cells[i] = std::to_string(Number(total.cells[i]) + Number(row.cells[i]));
  }
  total.bytes += row.bytes;
}

uint64_t RowPackets(const RecordRow& row) {
  return SumColumns(row, IsPacketMember);
}

uint64_t RowFlows(const RecordRow& row) {
  return SumColumns(row, IsFlowMember);
}

uint64_t RowMeasure(const RecordRow& row, SummaryOrder order) {
  switch (order) {
    case SummaryOrder::kPackets:
      return RowPackets(row);
    case SummaryOrder::kFlows:
      return RowFlows(row);
    case SummaryOrder::kBytes:
      break;
  }
  return row.bytes;
}

}  // namespace kdreplay
