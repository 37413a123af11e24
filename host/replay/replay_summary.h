// korvia-replay --summary: a table of the largest records of a run, for reading rather than
// parsing, printed after the payload lines.
//
// The plugin hands every payload to every enabled channel, so a payload is counted once: the
// summary follows the first sink channel that receives one and counts only what reaches it.
// Records are grouped by record type and form (flat or nested); each group shows its records
// ranked by bytes (ties in order of arrival), at most kSummaryRows of them, with its totals. The
// NAT session log counts no bytes: its sessions are listed in order of arrival.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "replay_record_rows.h"

namespace kdreplay {

constexpr size_t kSummaryRows = 20;

class RunSummary {
 public:
  explicit RunSummary(size_t rows = kSummaryRows) : limit_(rows) {}
  RunSummary(const RunSummary&) = delete;
  RunSummary& operator=(const RunSummary&) = delete;
  ~RunSummary();

  // Starts and stops receiving dispatches.
  void Attach();
  void Detach();

  // One dispatch (the registry observer; public for tests). Never throws.
  void Observe(const std::string& sink, const std::set<std::string>& channels,
               const nlohmann::json& payload);

  // The summary as lines of text, the first one empty to set it apart from the payload lines.
  std::vector<std::string> Lines() const;

 private:
  // The records of one type and form.
  struct Group {
    const RecordLayout* layout = nullptr;
    bool nested = false;
    uint64_t records = 0;
    uint64_t bytes = 0;
    // Candidates for the table: in order of arrival, or, once ranked, by bytes and then in
    // order of arrival.
    std::vector<RecordRow> kept;
  };

  void Add(RecordRow&& row);
  // Orders group.kept by bytes (for ranked layouts) and keeps the first limit_ rows.
  void Rank(Group& group) const;
  std::vector<std::string> GroupLines(Group group) const;

  const size_t limit_;
  uint64_t observer_id_ = 0;
  bool attached_ = false;

  mutable std::mutex lock_;
  bool following_ = false;
  std::string sink_;
  std::string channel_;
  uint64_t payloads_ = 0;
  uint64_t unknown_payloads_ = 0;
  std::vector<Group> groups_;  // in order of first appearance
};

}  // namespace kdreplay
