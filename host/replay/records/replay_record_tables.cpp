#include "replay_record_tables.h"

#include <string>

#include "kpp_record_rows.h"
#include "replay_payload_walk.h"

namespace kdreplay {

namespace {

using nlohmann::json;
using Type = TableColumn::Type;

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

std::vector<const char*> Levels(const kppRowList<const char*>& levels) {
  return std::vector<const char*>(levels.begin(), levels.end());
}

const std::vector<RecordTable>& Tables() {
  static const std::vector<RecordTable> tables = [] {
    std::vector<RecordTable> made;
    for (uint32_t number = 1; const kppRecordRows* rows = kppRecordRowsOf(number); ++number) {
      RecordTable table{static_cast<int>(rows->number),
                        rows->table,
                        {},
                        Levels(rows->nested_levels),
                        Levels(rows->private_levels)};
      for (const kppRowMember& member : rows->members) {
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
                 const kppRowList<const char*>& levels = {nullptr, 0}) {
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
    for (size_t l = 0; l < levels.count; ++l) {
      if (std::string(levels.items[l]) == column.name)
        row.values[c] = LevelValue(path[l], column.type);
    }
  }
  return row;
}

}  // namespace

const RecordTable& TableOfType(int type) {
  return Tables()[type - 1];
}

bool ExtractTableRows(const json& payload, uint32_t record_type, std::vector<TableRow>& rows) {
  WalkedPayload walked;
  if (!WalkPayload(payload, record_type, walked)) return false;
  std::vector<TableRow> extracted;
  for (const WalkedRecord& record : walked.records) {
    const RecordTable& table = TableOfType(static_cast<int>(record.type->number));
    if (record.addresses != nullptr) {
      json cells = *record.record;
      cells.update(*record.addresses);
      extracted.push_back(MakeRow(table, cells));
    } else if (!record.nested) {
      extracted.push_back(MakeRow(table, *record.record));
    } else if (record.levels != nullptr) {
      extracted.push_back(MakeRow(table, *record.record, record.path, *record.levels));
    } else {
      return false;
    }
  }
  rows.insert(rows.end(), std::make_move_iterator(extracted.begin()),
              std::make_move_iterator(extracted.end()));
  return true;
}

}  // namespace kdreplay
