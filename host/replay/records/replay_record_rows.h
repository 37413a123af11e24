// The records inside a payload as rows of table cells, for korvia-replay --summary, --csv and
// --read. The records are those the payload walk finds (replay_payload_walk.h); a row's cells
// are the summary columns kpp_record_rows.h lists for the record's type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kpp_record_rows.h"

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
  int type;
  const char* title;
  std::vector<RecordColumn> columns;
  // The two members whose sum ranks the records; null for the NAT log, which counts no bytes.
  const char* bytes_a;
  const char* bytes_b;
  // The NAT log's: how its payloads spread into rows. Null for the other types.
  const kppSessionSpread* spread;
};

struct RecordRow {
  const RecordLayout* layout = nullptr;
  bool nested = false;
  std::string path;                               // nested only: levels joined with "/"
  std::vector<std::optional<std::string>> cells;  // one per layout column; none when absent
  uint64_t bytes = 0;                             // bytes_a + bytes_b
};

// The layout of a record type, numbered from 1 (kppRecordRowsOf).
const RecordLayout& LayoutOfType(int type);

// Appends the records of payload, of record_type, to rows. Returns false, appending nothing, when
// payload is not laid out as that type's payloads are.
bool ExtractRecordRows(const nlohmann::json& payload, uint32_t record_type,
                       std::vector<RecordRow>& rows);

}  // namespace kdreplay
