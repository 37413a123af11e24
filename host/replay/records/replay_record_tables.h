// The records inside a payload as rows of tables, for the sinks that store rows (sqlite:PATH).
//
// Every record type has one table, with one column per member of the type's flat row. A flat
// payload gives one row per element of "stats"; a nested payload gives one row per record of its
// tree, the levels above a record filling the dimension members that the nested form leaves out
// of the record itself (which members a level stands for depends on the type and on whether
// privacy mode dropped the local addresses from the path; the depth tells). Members a record
// does not carry (privacy mode, key by overlay, the counters a nested record omits) stay null.
// The NAT session log gives one row per element of "flows", its family object spread into the
// row. The record type is the one the plugin named for the payload (replay_record_type.h).
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

// Appends the rows of payload, of record_type. Returns false, appending nothing, when payload is
// not laid out as that type's payloads are.
bool ExtractTableRows(const nlohmann::json& payload, uint32_t record_type,
                      std::vector<TableRow>& rows);

}  // namespace kdreplay
