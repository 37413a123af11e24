// The one walk over a payload's records that every reader of payloads shares (the summary and
// read-back through replay_record_rows, the sqlite: sink through replay_record_tables): which
// record type each record is, whether the payload is flat or nested, the levels above a nested
// record and the members they stand for, and the NAT log's sessions spread into rows, all as
// kpp_record_rows.h describes them.
//
// A flat payload carries its rows in the array "stats"; in a nested payload "stats" is a tree
// whose levels are the record's dimensions, a record being any object there with a member that
// is a number, string or boolean. The NAT log's payload is {"apMac", "flows"}.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kpp_record_rows.h"

namespace kdreplay {

struct WalkedRecord {
  const kppRecordRows* type = nullptr;
  // The record; for a NAT session, the session with the payload's carried member.
  const nlohmann::json* record = nullptr;
  // A NAT session's address object, spread into its row; null otherwise.
  const nlohmann::json* addresses = nullptr;
  bool nested = false;
  std::vector<std::string> path;  // nested: the levels' names (or array positions), outermost first
  // nested: the members the levels stand for, by the path's depth; null when neither form of the
  // type is that deep.
  const kppRowList<const char*>* levels = nullptr;
};

struct WalkedPayload {
  std::vector<WalkedRecord> records;
  std::deque<nlohmann::json> sessions;  // what the NAT sessions' records point to
};

// Walks payload, whose records are of record_type (as the plugin that sent it said, or as the
// files it was stored in recorded: never guessed from its members), into walked. False when
// record_type is no record type or payload is not laid out as that type's payloads are.
bool WalkPayload(const nlohmann::json& payload, uint32_t record_type, WalkedPayload& walked);

// Whether value is a number, string or boolean: what makes an object in a nested tree a record.
bool IsScalarValue(const nlohmann::json& value);

}  // namespace kdreplay
