#include "replay_record_rows.h"

#include <string_view>

#include "kpp_record_rows.h"
#include "replay_payload_walk.h"

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
  RecordLayout layout{
      static_cast<int>(rows.number), rows.title, {}, rows.bytes_a, rows.bytes_b, rows.spread};
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
std::optional<std::string> Endpoint(const json& addresses, const kppEndpointCell& cell) {
  auto address = addresses.find(cell.ip);
  if (address == addresses.end() || !address->is_string()) return std::nullopt;
  std::string text = address->get<std::string>();
  if (text.find(':') != std::string::npos) text = "[" + text + "]";
  auto number = addresses.find(cell.port);
  if (number != addresses.end()) text += ":" + ScalarText(*number).value_or("?");
  return text;
}

std::string JoinPath(const std::vector<std::string>& path) {
  std::string joined;
  for (const std::string& level : path) {
    if (!joined.empty()) joined += '/';
    joined += level;
  }
  return joined;
}

RecordRow RowOf(const WalkedRecord& record) {
  const RecordLayout& layout = LayoutOfType(static_cast<int>(record.type->number));
  if (record.addresses == nullptr)
    return MakeRow(layout, *record.record, record.nested, JoinPath(record.path));
  // A NAT session shows its endpoints from its address object.
  json cells = *record.record;
  for (const kppEndpointCell& endpoint : record.type->endpoints) {
    if (auto text = Endpoint(*record.addresses, endpoint)) cells[endpoint.name] = *text;
  }
  return MakeRow(layout, cells, false, "");
}

}  // namespace

bool ExtractRecordRows(const json& payload, uint32_t record_type, std::vector<RecordRow>& rows) {
  WalkedPayload walked;
  if (!WalkPayload(payload, record_type, walked)) return false;
  for (const WalkedRecord& record : walked.records) rows.push_back(RowOf(record));
  return true;
}

const RecordLayout& LayoutOfType(int type) {
  return Layouts()[type - 1];
}

}  // namespace kdreplay
