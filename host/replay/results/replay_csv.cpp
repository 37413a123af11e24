#include "replay_csv.h"

#include <algorithm>

#include "korviad/kd_plugin.h"
#include "kpp_record_rows.h"
#include "replay_record_rows.h"

namespace kdreplay {

using nlohmann::json;

std::string CsvCell(const json& value) {
  if (value.is_null()) return "";
  std::string text = value.is_string() ? value.get<std::string>()
                                       : value.dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void CsvTables::Add(const json& payload, uint32_t record_type, const std::string& run,
                    const std::string& probe) {
  try {
    std::vector<RecordRow> records;
    if (!ExtractRecordRows(payload, record_type, records) || records.empty() || records[0].nested) {
      ++left_out_;
      return;
    }
    int type = records[0].layout->type;
    auto found = std::find_if(tables_.begin(), tables_.end(),
                              [type](const auto& entry) { return entry.first == type; });
    if (found == tables_.end()) {
      tables_.emplace_back(type, Table());
      found = tables_.end() - 1;
      for (const char* column : {"log_time_start", "log_time_end", "run_id", "probe"}) {
        found->second.column_index[column] = found->second.columns.size();
        found->second.columns.push_back(column);
      }
    }
    json times = json::object();
    for (const char* member : {"log_time_start", "log_time_end"}) {
      if (payload.contains(member)) times[member] = payload[member];
    }
    if (!run.empty()) {
      times["run_id"] = run;
      times["probe"] = probe;
    }
    // The NAT log's sessions carry their payload's member, their address objects unspread.
    if (const kppSessionSpread* spread = records[0].layout->spread) {
      json carried = {{spread->carried, payload[spread->carried]}};
      for (const json& session : payload[spread->sessions]) {
        json row = carried;
        if (session.is_object()) row.update(session);
        AddRow(found->second, times, row);
      }
      return;
    }
    for (const json& row : payload["stats"]) AddRow(found->second, times, row);
  } catch (...) {
    ++left_out_;
  }
}

void CsvTables::AddRow(Table& table, const json& times, const json& row) {
  std::vector<std::string> cells(table.columns.size());
  auto put = [&table, &cells](const std::string& member, const json& value) {
    auto column = table.column_index.emplace(member, table.columns.size());
    if (column.second) table.columns.push_back(member);
    if (cells.size() <= column.first->second) cells.resize(column.first->second + 1);
    cells[column.first->second] = CsvCell(value);
  };
  for (const auto& member : times.items()) put(member.key(), member.value());
  if (row.is_object()) {
    for (const auto& member : row.items()) put(member.key(), member.value());
  }
  table.rows.push_back(std::move(cells));
}

std::vector<std::string> CsvTables::Lines() const {
  std::vector<std::string> lines;
  for (const auto& entry : tables_) {
    const Table& table = entry.second;
    if (!lines.empty()) lines.push_back("");
    auto line = [&table](const std::vector<std::string>& cells) {
      std::string text;
      for (size_t i = 0; i < table.columns.size(); ++i) {
        if (i > 0) text += ',';
        if (i < cells.size()) text += cells[i];
      }
      return text;
    };
    std::vector<std::string> header;
    for (const std::string& column : table.columns) header.push_back(CsvCell(column));
    lines.push_back(line(header));
    for (const auto& row : table.rows) lines.push_back(line(row));
  }
  return lines;
}

CsvCollector::~CsvCollector() = default;

void CsvCollector::Observe(const std::string& sink, const std::set<std::string>& channels,
                           const json& payload, uint32_t record_type) {
  std::lock_guard<std::mutex> guard(lock_);
  if (channel_.Reaches(sink, channels)) tables_.Add(payload, record_type, run_, probe_);
}

std::vector<std::string> CsvCollector::Lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tables_.Lines();
}

uint64_t CsvCollector::left_out() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tables_.left_out();
}

}  // namespace kdreplay
