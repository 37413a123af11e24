// The records inside a payload as rows of table cells, for korvia-replay --summary.
//
// A payload holds records of one of eight layouts (record types). The layout is recognised from
// the record's members, not from the configuration, so that a reload that changes the type
// mid-run is followed:
//   "apMac" and "flows" (bare payload)  7, one row per element of "flows"
//   "ifname"                            5
//   "tags"                              6
//   "digests"                           3
//   "flow_count"                        2
//   "vlan_id" with "hostname"           8
//   "vlan_id"                           4 (also type 8 in nested form, which has no "hostname")
//   "upload"                            1
// Flat payloads carry the rows in the array "stats". In nested payloads "stats" is a tree whose
// levels are the record's dimensions; a record is any object there with a member that is a
// number, string or boolean, and the names (or array positions) above it form its path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kdreplay {

struct RecordColumn {
  enum class Kind {
    kValue,  // the member's value as text
    kCount,  // the number of elements of an array member
    kList,   // the elements of an array of strings, joined with ","
  };
  const char* header;
  const char* member;
  bool numeric = false;  // right-aligned
  Kind kind = Kind::kValue;
  bool counter = false;  // summed when rows are totalled; the others tell rows apart
};

// Built from the plugin's description of its record types' rows.
struct RecordLayout {
  int type;  // 1 to 8
  const char* title;
  std::vector<RecordColumn> columns;
  // The two members whose sum ranks the records; null for the NAT log, which counts no bytes.
  const char* bytes_a;
  const char* bytes_b;
};

struct RecordRow {
  const RecordLayout* layout = nullptr;
  bool nested = false;
  std::string path;                               // nested only: levels joined with "/"
  std::vector<std::optional<std::string>> cells;  // one per layout column; none when absent
  uint64_t bytes = 0;                             // bytes_a + bytes_b
};

// The layout of record type 1 to 8.
const RecordLayout& LayoutOfType(int type);

// The record type (1 to 8) that record's members show, as listed above; 0 when none fits. Type 7
// is recognised from its payload ("apMac" and "flows"), not from a record.
int RecordTypeOf(const nlohmann::json& record);

// Whether value is a number, string or boolean: what makes an object in a nested tree a record.
bool IsScalarValue(const nlohmann::json& value);

// A record of a payload's "stats" and, in a nested payload, the names (or array positions) of the
// levels above it.
struct FoundRecord {
  const nlohmann::json* record;
  std::vector<std::string> path;
};

// Collects the records of a payload's "stats" and tells whether it is flat (an array of rows) or
// a nested tree. False when the tree is deeper than any record type builds.
bool FindRecords(const nlohmann::json& stats, bool& flat, std::vector<FoundRecord>& found);

// Appends the records of payload to rows. Returns false, appending nothing, when payload is not
// laid out as this plugin's payloads are.
bool ExtractRecordRows(const nlohmann::json& payload, std::vector<RecordRow>& rows);

}  // namespace kdreplay
