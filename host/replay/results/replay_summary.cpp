#include "replay_summary.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <utility>

#include "korviad/kd_plugin.h"

namespace kdreplay {

namespace {

using nlohmann::json;

// Longer cell texts are cut, so that one odd value does not widen the whole table. Paths of
// nested records, which name the record, may be longer.
constexpr size_t kMaxCellWidth = 40;
constexpr size_t kMaxPathWidth = 120;

// Characters on a terminal: UTF-8 continuation bytes take no room.
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80;
  return width;
}

// A cell as shown: "-" for an absent or empty value, control characters as "?", cut to
// max_width characters on a character boundary.
std::string Shown(const std::optional<std::string>& cell, size_t max_width = kMaxCellWidth) {
  if (!cell || cell->empty()) return "-";
  const bool cut = DisplayWidth(*cell) > max_width;
  std::string text;
  size_t width = 0;
  for (char c : *cell) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (cut && (byte & 0xC0) != 0x80 && ++width > max_width - 3) return text + "...";
    text += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return text;
}

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool Ranked(const RecordLayout& layout) {
  return layout.bytes_a != nullptr;
}

// Lays out a table: text columns left-aligned, numeric ones right-aligned, two spaces apart.
std::vector<std::string> Table(const std::vector<std::string>& headers,
                               const std::vector<bool>& numeric,
                               const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const std::string& header : headers) widths.push_back(DisplayWidth(header));
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < cells.size(); ++i) {
      std::string padding(widths[i] - DisplayWidth(cells[i]), ' ');
      if (i > 0) text += "  ";
      text += numeric[i] ? padding + cells[i] : cells[i] + padding;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  std::vector<std::string> lines = {line(headers)};
  std::vector<std::string> rules;
  for (size_t width : widths) rules.push_back(std::string(width, '-'));
  lines.push_back(line(rules));
  for (const auto& row : rows) lines.push_back(line(row));
  return lines;
}

bool JsonTime(const json& payload, const char* member, int64_t& value) {
  if (!payload.is_object()) return false;
  auto found = payload.find(member);
  if (found == payload.end() || !found->is_number_integer()) return false;
  value = found->get<int64_t>();
  return true;
}

}  // namespace

std::string UtcText(int64_t seconds) {
  time_t value = static_cast<time_t>(seconds);
  tm calendar{};
  char buffer[64];
  if (gmtime_r(&value, &calendar) == nullptr ||
      strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &calendar) == 0)
    return std::to_string(seconds);
  return buffer;
}

RunSummary::~RunSummary() = default;

void RunSummary::Observe(const std::string& sink, const std::set<std::string>& channels,
                         const json& payload, uint32_t record_type) {
  std::lock_guard<std::mutex> guard(lock_);
  // An exception would travel back into the plugin's payload pass: a payload that cannot be
  // summarised is counted as left out instead.
  try {
    if (channel_.Reaches(sink, channels)) AddPayload(payload, record_type);
  } catch (...) {
    ++unknown_payloads_;
  }
}

void RunSummary::Count(const json& payload, uint32_t record_type, const std::string& source) {
  std::lock_guard<std::mutex> guard(lock_);
  channel_.FollowNone();
  source_ = source;
  try {
    AddPayload(payload, record_type);
  } catch (...) {
    ++unknown_payloads_;
  }
}

void RunSummary::AddPayload(const json& payload, uint32_t record_type) {
  ++payloads_;
  std::vector<RecordRow> rows;
  if (!ExtractRecordRows(payload, record_type, rows)) {
    ++unknown_payloads_;
    return;
  }
  int64_t start = 0, end = 0;
  if (JsonTime(payload, "log_time_start", start) && JsonTime(payload, "log_time_end", end)) {
    first_start_ = std::min(first_start_, start);
    last_end_ = std::max(last_end_, end);
  }
  for (RecordRow& row : rows) Add(std::move(row));
}

void RunSummary::Add(RecordRow&& row) {
  auto group = std::find_if(groups_.begin(), groups_.end(), [&row](const Group& candidate) {
    return candidate.layout == row.layout && candidate.nested == row.nested;
  });
  if (group == groups_.end()) {
    Group added;
    added.layout = row.layout;
    added.nested = row.nested;
    groups_.push_back(std::move(added));
    group = groups_.end() - 1;
  }
  ++group->records;
  group->bytes += row.bytes;
  if (!Ranked(*row.layout)) {
    if (group->kept.size() < limit_) group->kept.push_back(std::move(row));
    return;
  }
  auto found = group->index.emplace(RecordKey(row), group->kept.size());
  if (found.second) {
    group->kept.push_back(std::move(row));
  } else {
    AddCounters(group->kept[found.first->second], row);
  }
}

void RunSummary::Rank(Group& group) const {
  // Stable: kept rows are in order of first arrival, so ties keep that order.
  if (Ranked(*group.layout)) {
    SummaryOrder order = order_;
    std::stable_sort(group.kept.begin(), group.kept.end(),
                     [order](const RecordRow& a, const RecordRow& b) {
                       return RowMeasure(a, order) > RowMeasure(b, order);
                     });
  }
  if (group.kept.size() > limit_) group.kept.resize(limit_);
}

std::vector<std::string> RunSummary::GroupLines(Group group) const {
  Rank(group);
  const RecordLayout& layout = *group.layout;
  std::string title = "Record type " + std::to_string(layout.type);
  title += std::string(" (") + layout.title + ")";
  // The NAT log has one form only.
  if (Ranked(layout)) title += group.nested ? ", nested form" : ", flat form";
  std::string extent;
  if (Ranked(layout)) {
    extent = "Top " + std::to_string(group.kept.size()) + " of " +
             Plural(group.index.size(), "record", "records") + " by " + SummaryOrderName(order_) +
             "; " + std::to_string(group.bytes) + " bytes in all.";
  } else {
    extent = "First " + std::to_string(group.kept.size()) + " of " +
             Plural(group.records, "session", "sessions") + " in order of arrival.";
  }

  // Columns that no shown record has are left out (privacy mode, nested form).
  std::vector<std::string> headers;
  std::vector<bool> numeric;
  std::vector<int> shown;  // layout column index, -1 for the path, -2 for the byte total
  if (group.nested) shown.push_back(-1);
  for (size_t i = 0; i < layout.columns.size(); ++i) {
    bool present = std::any_of(group.kept.begin(), group.kept.end(),
                               [i](const RecordRow& row) { return row.cells[i].has_value(); });
    if (present) shown.push_back(static_cast<int>(i));
  }
  if (Ranked(layout)) shown.push_back(-2);
  for (int column : shown) {
    headers.push_back(column == -1   ? "path"
                      : column == -2 ? "bytes"
                                     : layout.columns[column].header);
    numeric.push_back(column == -2 || (column >= 0 && layout.columns[column].numeric));
  }

  std::vector<std::vector<std::string>> rows;
  for (const RecordRow& row : group.kept) {
    std::vector<std::string> cells;
    for (int column : shown) {
      if (column == -1) {
        cells.push_back(Shown(row.path, kMaxPathWidth));
      } else if (column == -2) {
        cells.push_back(std::to_string(row.bytes));
      } else {
        cells.push_back(Shown(row.cells[column]));
      }
    }
    rows.push_back(std::move(cells));
  }

  std::vector<std::string> lines = {title, extent};
  for (std::string& line : Table(headers, numeric, rows)) lines.push_back(std::move(line));
  return lines;
}

std::string RunSummary::Covers() const {
  if (first_start_ > last_end_) return "";
  return ", " + UtcText(first_start_) + " to " + UtcText(last_end_) + " UTC";
}

std::vector<std::string> RunSummary::Lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> lines = {""};
  if (!channel_.following()) {
    lines.push_back("Summary: no payloads were dispatched.");
    return lines;
  }
  std::string what =
      !source_.empty()
          ? source_
          : "sink " + json(channel_.sink()).dump(-1, ' ', false, json::error_handler_t::replace) +
                ", channel " +
                json(channel_.channel()).dump(-1, ' ', false, json::error_handler_t::replace);
  lines.push_back("Summary of " + what + ": " + Plural(payloads_, "payload", "payloads") +
                  Covers() + ".");
  if (unknown_payloads_ > 0) {
    lines.push_back(Plural(unknown_payloads_, "payload", "payloads") +
                    " not laid out as this plugin's payloads left out.");
  }
  for (const Group& group : groups_) {
    lines.push_back("");
    for (std::string& line : GroupLines(group)) lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace kdreplay
