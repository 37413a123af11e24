// korvia-replay --summary: a table of the largest records of a run, for reading rather than
// parsing, printed after the payload lines.
//
// The plugin hands every payload to every enabled channel, so a payload is counted once: the
// summary follows the first sink channel that receives one and counts only what reaches it.
// Records are grouped by record type and form (flat or nested); a record sent in several reports
// is one row with its counters summed (replay_record_totals.h). Each group shows its records
// ranked by bytes, packets or flows (ties in order of first arrival), at most kSummaryRows of
// them, with its totals; the summary says which capture or wall time its reports cover. The NAT
// session log counts no bytes: its sessions are listed in order of arrival.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "replay_first_channel.h"
#include "replay_record_rows.h"
#include "replay_record_totals.h"

namespace kdreplay {

constexpr size_t kSummaryRows = 20;

// "2019-03-21 09:30:44" for seconds since the epoch, in UTC.
std::string UtcText(int64_t seconds);

class RunSummary {
 public:
  explicit RunSummary(size_t rows = kSummaryRows, SummaryOrder order = SummaryOrder::kBytes)
      : limit_(rows), order_(order) {}
  RunSummary(const RunSummary&) = delete;
  RunSummary& operator=(const RunSummary&) = delete;
  ~RunSummary();

  // One payload stored by a sink channel, of record_type (PayloadRouter::OnStored). Never throws.
  void Observe(const std::string& sink, const std::set<std::string>& channels,
               const nlohmann::json& payload, uint32_t record_type);

  // One payload read back from a file (korvia-replay --read), of the record type the file's
  // index gives: counted whatever its sink. source names the files for the summary's first line.
  void Count(const nlohmann::json& payload, uint32_t record_type, const std::string& source);

  // The summary as lines of text, the first one empty to set it apart from the payload lines.
  std::vector<std::string> Lines() const;

 private:
  // The records of one type and form.
  struct Group {
    const RecordLayout* layout = nullptr;
    bool nested = false;
    uint64_t records = 0;  // rows received
    uint64_t bytes = 0;
    // Ranked layouts: one row per key, in order of first arrival. The NAT log: the first rows.
    std::vector<RecordRow> kept;
    std::map<std::string, size_t> index;  // key to position in kept
  };

  void AddPayload(const nlohmann::json& payload, uint32_t record_type);
  void Add(RecordRow&& row);
  // Orders group.kept by the summary's order (for ranked layouts) and keeps the first limit_.
  void Rank(Group& group) const;
  std::string Covers() const;
  std::vector<std::string> GroupLines(Group group) const;

  const size_t limit_;
  const SummaryOrder order_;

  mutable std::mutex lock_;
  FirstChannel channel_;
  uint64_t payloads_ = 0;
  uint64_t unknown_payloads_ = 0;
  std::string source_;  // set when payloads are read back from files
  // The reports' time range: the earliest log_time_start and latest log_time_end seen.
  int64_t first_start_ = INT64_MAX;
  int64_t last_end_ = INT64_MIN;
  std::vector<Group> groups_;  // in order of first appearance
};

}  // namespace kdreplay
