// korvia-replay --csv: the flat rows of the payloads as CSV (RFC 4180), for a spreadsheet or a
// database import. Each record type is a table of its own: a header line naming
// log_time_start, log_time_end, run_id, probe (the run that stored the payload; empty when not
// known) and every member its rows have (in order of first appearance),
// then one line per row; tables are apart by an empty line. A value that holds a comma, quote
// or line break is quoted; arrays (digests, tags) and objects are written as JSON text; an
// absent member is an empty cell. The NAT session log gives one row per entry of "flows", with
// the access point's "apMac". Nested payloads have no flat rows and are counted as left out.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "replay_first_channel.h"

namespace kdreplay {

class CsvTables {
 public:
  // Adds the rows of one payload, of record_type, stored by run on probe. Never throws; a payload
  // of another layout is left out.
  void Add(const nlohmann::json& payload, uint32_t record_type, const std::string& run = "",
           const std::string& probe = "");
  // The tables as lines of text, in order of each record type's first payload.
  std::vector<std::string> Lines() const;
  // Payloads without flat rows (nested form, another layout).
  uint64_t left_out() const { return left_out_; }

 private:
  struct Table {
    std::vector<std::string> columns;
    std::map<std::string, size_t> column_index;
    std::vector<std::vector<std::string>> rows;  // cells by column index; short rows pad empty
  };
  void AddRow(Table& table, const nlohmann::json& times, const nlohmann::json& row);

  std::vector<std::pair<int, Table>> tables_;  // by record type, in order of first appearance
  uint64_t left_out_ = 0;
};

// The rows a run dispatches, collected as CsvTables. Like the summary, it follows the first sink
// channel that receives a payload, so that a payload sent to several channels counts once.
class CsvCollector {
 public:
  // run and probe: the identity of the run whose payloads these are.
  explicit CsvCollector(std::string run = "", std::string probe = "")
      : run_(std::move(run)), probe_(std::move(probe)) {}
  CsvCollector(const CsvCollector&) = delete;
  CsvCollector& operator=(const CsvCollector&) = delete;
  ~CsvCollector();

  // One payload stored by a sink channel, of record_type (PayloadRouter::OnStored).
  void Observe(const std::string& sink, const std::set<std::string>& channels,
               const nlohmann::json& payload, uint32_t record_type);
  std::vector<std::string> Lines() const;
  uint64_t left_out() const;

 private:
  const std::string run_;
  const std::string probe_;
  mutable std::mutex lock_;
  FirstChannel channel_;
  CsvTables tables_;
};

// One CSV cell for value.
std::string CsvCell(const nlohmann::json& value);

}  // namespace kdreplay
