#include "replay_record_rows.h"

#include <string_view>

#include "kpp_record_rows.h"

namespace kdreplay {

namespace {

using nlohmann::json;
using Kind = RecordColumn::Kind;

const kppRowMember* MemberOf(const kppRecordRows& rows, const char* name) {
  for (const kppRowMember& member : rows.members) {
    if (std::string_view(member.name) == name) return &member;
  }
  return nullptr;
}

RecordLayout MakeLayout(const kppRecordRows& rows) {
  RecordLayout layout{static_cast<int>(rows.number), rows.title, {}, rows.bytes_a, rows.bytes_b};
  for (const kppSummaryColumn& shown : rows.summary) {
    const kppRowMember* member = MemberOf(rows, shown.member);
    RecordColumn column{shown.label, shown.member};
    column.kind = shown.form == kppCellForm::kCount  ? Kind::kCount
                  : shown.form == kppCellForm::kList ? Kind::kList
                                                     : Kind::kValue;
    column.numeric = column.kind == Kind::kCount ||
                     (member != nullptr && member->kind == kppMemberKind::kInteger);
    column.counter = member != nullptr && member->counter;
    layout.columns.push_back(column);
  }
  return layout;
}

const std::vector<RecordLayout>& Layouts() {
  static const std::vector<RecordLayout> layouts = [] {
    std::vector<RecordLayout> made;
    for (uint32_t type = 1; const kppRecordRows* rows = kppRecordRowsOf(type); ++type) {
      made.push_back(MakeLayout(*rows));
    }
    return made;
  }();
  return layouts;
}

// Deeper trees than any record type builds are not walked further.
constexpr size_t kMaxDepth = 32;

// A record is an object with at least one scalar member; the levels of a nested tree hold only
// objects, arrays and nulls.
bool IsRecord(const json& node) {
  if (!node.is_object()) return false;
  for (const json& member : node) {
    if (IsScalarValue(member)) return true;
  }
  return false;
}

const RecordLayout* DetectLayout(const json& record) {
  auto has = [&record](const char* member) { return record.contains(member); };
  int type = 0;
  if (has("ifname")) {
    type = 5;
  } else if (has("tags")) {
    type = 6;
  } else if (has("digests")) {
    type = 3;
  } else if (has("flow_count")) {
    type = 2;
  } else if (has("vlan_id")) {
    type = has("hostname") ? 8 : 4;
  } else if (has("upload")) {
    type = 1;
  }
  return type == 0 ? nullptr : &LayoutOfType(type);
}

std::optional<std::string> ScalarText(const json& value) {
  switch (value.type()) {
    case json::value_t::string:
      return value.get<std::string>();
    case json::value_t::number_unsigned:
      return std::to_string(value.get<uint64_t>());
    case json::value_t::number_integer:
      return std::to_string(value.get<int64_t>());
    case json::value_t::number_float:
      return value.dump();
    case json::value_t::boolean:
      return std::string(value.get<bool>() ? "true" : "false");
    default:
      return std::nullopt;
  }
}

std::optional<std::string> CellText(const json& record, const RecordColumn& column) {
  auto it = record.find(column.member);
  if (it == record.end()) return std::nullopt;
  switch (column.kind) {
    case Kind::kValue:
      return ScalarText(*it);
    case Kind::kCount:
      if (!it->is_array()) return std::nullopt;
      return std::to_string(it->size());
    case Kind::kList: {
      if (!it->is_array()) return std::nullopt;
      std::string joined;
      for (const json& element : *it) {
        if (!joined.empty()) joined += ",";
        joined += ScalarText(element).value_or("?");
      }
      return joined;
    }
  }
  return std::nullopt;
}

uint64_t Counter(const json& record, const char* member) {
  auto it = record.find(member);
  if (it == record.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() > 0)
    return static_cast<uint64_t>(it->get<int64_t>());
  return 0;
}

RecordRow MakeRow(const RecordLayout& layout, const json& record, bool nested, std::string path) {
  RecordRow row;
  row.layout = &layout;
  row.nested = nested;
  row.path = std::move(path);
  for (const RecordColumn& column : layout.columns) row.cells.push_back(CellText(record, column));
  if (layout.bytes_a != nullptr) {
    row.bytes = Counter(record, layout.bytes_a) + Counter(record, layout.bytes_b);
  }
  return row;
}

// "address:port", with an IPv6 address in brackets.
std::optional<std::string> Endpoint(const json& addresses, const char* ip, const char* port) {
  if (!addresses.is_object()) return std::nullopt;
  auto address = addresses.find(ip);
  if (address == addresses.end() || !address->is_string()) return std::nullopt;
  std::string text = address->get<std::string>();
  if (text.find(':') != std::string::npos) text = "[" + text + "]";
  auto number = addresses.find(port);
  if (number != addresses.end()) text += ":" + ScalarText(*number).value_or("?");
  return text;
}

// One row per session of a NAT log record ({"apMac", "flows"}).
bool ExtractSessions(const json& payload, std::vector<RecordRow>& rows) {
  const json& flows = payload["flows"];
  if (!flows.is_array() && !flows.is_null()) return false;
  const RecordLayout& layout = LayoutOfType(7);
  std::vector<RecordRow> sessions;
  for (const json& flow : flows) {
    if (!flow.is_object()) return false;
    json cells = flow;
    cells["apMac"] = payload["apMac"];
    const json* addresses = nullptr;
    auto family = flow.find("family");
    if (family != flow.end() && family->is_string()) {
      auto found = flow.find(family->get<std::string>());
      if (found != flow.end()) addresses = &*found;
    }
    if (addresses != nullptr) {
      for (auto [name, ip, port] : {std::tuple{"source", "srcIp", "srcPort"},
                                    std::tuple{"translated", "natSrcIp", "natSrcPort"},
                                    std::tuple{"destination", "dstIp", "dstPort"}}) {
        if (auto text = Endpoint(*addresses, ip, port)) cells[name] = *text;
      }
    }
    sessions.push_back(MakeRow(layout, cells, false, ""));
  }
  rows.insert(rows.end(), std::make_move_iterator(sessions.begin()),
              std::make_move_iterator(sessions.end()));
  return true;
}

bool Walk(const json& node, std::vector<std::string>& path, std::vector<FoundRecord>& found) {
  if (path.size() > kMaxDepth) return false;
  if (IsRecord(node)) {
    found.push_back({&node, path});
    return true;
  }
  if (!node.is_object() && !node.is_array()) return true;
  size_t position = 0;
  for (auto it = node.begin(); it != node.end(); ++it, ++position) {
    path.push_back(node.is_object() ? it.key() : std::to_string(position));
    bool ok = Walk(it.value(), path, found);
    path.pop_back();
    if (!ok) return false;
  }
  return true;
}

std::string JoinPath(const std::vector<std::string>& path) {
  std::string joined;
  for (const std::string& level : path) {
    if (!joined.empty()) joined += '/';
    joined += level;
  }
  return joined;
}

}  // namespace

bool IsScalarValue(const json& value) {
  return value.is_string() || value.is_number() || value.is_boolean();
}

bool FindRecords(const json& stats, bool& flat, std::vector<FoundRecord>& found) {
  flat = stats.is_array();
  for (const json& element : stats) {
    if (stats.is_array() && !element.is_null() && !IsRecord(element)) flat = false;
  }
  if (!flat) {
    std::vector<std::string> path;
    return Walk(stats, path, found);
  }
  for (const json& element : stats) {
    if (!element.is_null()) found.push_back({&element, {}});
  }
  return true;
}

const RecordLayout& LayoutOfType(int type) {
  return Layouts()[type - 1];
}

int RecordTypeOf(const json& record) {
  const RecordLayout* layout = DetectLayout(record);
  return layout == nullptr ? 0 : layout->type;
}

bool ExtractRecordRows(const json& payload, std::vector<RecordRow>& rows) {
  if (!payload.is_object()) return false;
  if (payload.contains("apMac") && payload.contains("flows")) return ExtractSessions(payload, rows);
  auto stats = payload.find("stats");
  if (stats == payload.end()) return false;

  bool flat = false;
  std::vector<FoundRecord> found;
  if (!FindRecords(*stats, flat, found)) return false;

  std::vector<RecordRow> extracted;
  for (const FoundRecord& record : found) {
    const RecordLayout* layout = DetectLayout(*record.record);
    if (layout == nullptr) return false;
    extracted.push_back(MakeRow(*layout, *record.record, !flat, JoinPath(record.path)));
  }
  rows.insert(rows.end(), std::make_move_iterator(extracted.begin()),
              std::make_move_iterator(extracted.end()));
  return true;
}

}  // namespace kdreplay
