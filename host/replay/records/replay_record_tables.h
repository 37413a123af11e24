// The records inside a payload as rows of tables, for the sinks that store rows (sqlite:PATH).
//
// Every record type has one table, with one column per member of the type's flat row. A flat
// payload gives one row per element of "stats"; a nested payload gives one row per record of its
// tree, the levels above a record filling the dimension members that the nested form leaves out
// of the record itself (which members a level stands for depends on the type and on whether
// privacy mode dropped the local addresses from the path; the depth tells). Members a record
// does not carry (privacy mode, key by overlay, the counters a nested record omits) stay null.
// The NAT session log gives one row per element of "flows", its family object spread into the
// row. A nested type 8 record carries no host name and so is told apart from type 4 by nothing:
// it lands in the type 4 table.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>

namespace kdreplay {

struct TableColumn {
  enum class Type {
    kInteger,
    kText,
    kBoolean,
    kJson,  // an array, stored as its JSON text
  };
  const char* name;
  Type type;
};

struct RecordTable {
  int type;
  const char* name;  // "type2_host_pairs"
  std::vector<TableColumn> columns;
  // The members that the levels of the nested form stand for, outermost first: with the local
  // addresses, and without them (privacy mode). Empty for the NAT session log.
  std::vector<const char*> nested_levels;
  std::vector<const char*> private_levels;
};

struct TableRow {
  const RecordTable* table = nullptr;
  // One scalar per column of the table (an array column as its JSON text); null when absent.
  std::vector<nlohmann::json> values;
};

// The table of a record type, numbered from 1 (kppRecordRowsOf).
const RecordTable& TableOfType(int type);

// Appends the rows of payload. Returns false, appending nothing, when payload is not laid out as
// this plugin's payloads are.
bool ExtractTableRows(const nlohmann::json& payload, std::vector<TableRow>& rows);

}  // namespace kdreplay
