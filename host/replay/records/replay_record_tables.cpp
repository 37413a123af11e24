#include "replay_record_tables.h"

#include <string>

#include "kpp_record_rows.h"
#include "replay_record_rows.h"

namespace kdreplay {

namespace {

using nlohmann::json;
using Type = TableColumn::Type;

// What the sink adds to a type's rows: the table's name and the members the nested levels stand
// for, types 1 to 8 in order.
struct TableShape {
  const char* name;
  std::vector<const char*> nested_levels;
  std::vector<const char*> private_levels;
};

const TableShape kShapes[] = {
    {"type1_host_apps",
     {"local_mac", "local_ip", "application_id", "protocol_id"},
     {"application_id", "protocol_id"}},
    {"type2_host_pairs",
     {"local_mac", "local_ip", "other_ip", "application_id", "protocol_id"},
     {"other_ip", "application_id", "protocol_id"}},
    {"type3_flow_details",
     {"local_mac", "local_ip", "other_ip", "detected_application_name", "detected_protocol_name"},
     {"other_ip", "detected_application_name", "detected_protocol_name"}},
    {"type4_vlan_ports",
     {"vlan_id", "local_mac", "local_ip", "other_ip", "other_port", "application_id",
      "protocol_id"},
     {"vlan_id", "other_ip", "other_port", "application_id", "protocol_id"}},
    {"type5_interfaces", {"ifname"}, {"ifname"}},
    {"type6_tagged_pairs",
     {"local_mac", "local_ip", "other_ip", "detected_application_name", "detected_protocol_name"},
     {"other_ip", "detected_application_name", "detected_protocol_name"}},
    {"type7_nat_sessions", {}, {}},
    {"type8_vlan_host_names",
     {"vlan_id", "local_mac", "local_ip", "other_ip", "other_port", "application_id",
      "protocol_id"},
     {"vlan_id", "other_ip", "other_port", "application_id", "protocol_id"}},
};

Type ColumnType(kppMemberKind kind) {
  switch (kind) {
    case kppMemberKind::kInteger:
      return Type::kInteger;
    case kppMemberKind::kBoolean:
      return Type::kBoolean;
    case kppMemberKind::kArray:
      return Type::kJson;
    case kppMemberKind::kText:
      break;
  }
  return Type::kText;
}

const std::vector<RecordTable>& Tables() {
  static const std::vector<RecordTable> tables = [] {
    std::vector<RecordTable> made;
    for (const TableShape& shape : kShapes) {
      const kppRecordRows& rows = *kppRecordRowsOf(static_cast<uint32_t>(made.size() + 1));
      RecordTable table{
          static_cast<int>(rows.number), shape.name, {}, shape.nested_levels, shape.private_levels};
      for (const kppRowMember& member : rows.members) {
        table.columns.push_back({member.name, ColumnType(member.kind)});
      }
      made.push_back(std::move(table));
    }
    return made;
  }();
  return tables;
}

json CellValue(const json& value, Type type) {
  if (type == Type::kJson) return value.dump(-1, ' ', false, json::error_handler_t::replace);
  return IsScalarValue(value) ? value
                              : json(value.dump(-1, ' ', false, json::error_handler_t::replace));
}

// A path level in its column's type: array positions and numbers that became member names are
// integers again.
json LevelValue(const std::string& level, Type type) {
  if (type != Type::kInteger || level.empty() || level.size() > 19 ||
      level.find_first_not_of("0123456789") != std::string::npos) {
    return level;
  }
  return std::stoull(level);
}

TableRow MakeRow(const RecordTable& table, const json& record,
                 const std::vector<std::string>& path = {},
                 const std::vector<const char*>& levels = {}) {
  TableRow row;
  row.table = &table;
  row.values.resize(table.columns.size());
  for (size_t c = 0; c < table.columns.size(); ++c) {
    const TableColumn& column = table.columns[c];
    auto member = record.find(column.name);
    if (member != record.end() && !member->is_null()) {
      row.values[c] = CellValue(*member, column.type);
      continue;
    }
    for (size_t l = 0; l < levels.size(); ++l) {
      if (std::string(levels[l]) == column.name) row.values[c] = LevelValue(path[l], column.type);
    }
  }
  return row;
}

// One row per session of a NAT log payload ({"apMac", "flows"}).
bool SessionRows(const json& payload, std::vector<TableRow>& rows) {
  const json& flows = payload["flows"];
  if (!flows.is_array() && !flows.is_null()) return false;
  for (const json& flow : flows) {
    if (!flow.is_object()) return false;
    json cells = flow;
    cells["apMac"] = payload["apMac"];
    auto family = flow.find("family");
    if (family != flow.end() && family->is_string()) {
      auto addresses = flow.find(family->get<std::string>());
      if (addresses != flow.end() && addresses->is_object()) cells.update(*addresses);
    }
    rows.push_back(MakeRow(TableOfType(7), cells));
  }
  return true;
}

}  // namespace

const RecordTable& TableOfType(int type) {
  return Tables()[type - 1];
}

bool ExtractTableRows(const json& payload, std::vector<TableRow>& rows) {
  if (!payload.is_object()) return false;
  std::vector<TableRow> extracted;
  if (payload.contains("apMac") && payload.contains("flows")) {
    if (!SessionRows(payload, extracted)) return false;
  } else {
    auto stats = payload.find("stats");
    if (stats == payload.end()) return false;
    bool flat = false;
    std::vector<FoundRecord> found;
    if (!FindRecords(*stats, flat, found)) return false;
    for (const FoundRecord& record : found) {
      int type = RecordTypeOf(*record.record);
      if (type == 0) return false;
      const RecordTable& table = TableOfType(type);
      const std::vector<const char*>* levels = nullptr;
      if (!flat) {
        if (record.path.size() == table.nested_levels.size()) levels = &table.nested_levels;
        if (record.path.size() == table.private_levels.size()) levels = &table.private_levels;
        if (levels == nullptr) return false;
      }
      extracted.push_back(
          MakeRow(table, *record.record, record.path, flat ? std::vector<const char*>{} : *levels));
    }
  }
  rows.insert(rows.end(), std::make_move_iterator(extracted.begin()),
              std::make_move_iterator(extracted.end()));
  return true;
}

}  // namespace kdreplay
