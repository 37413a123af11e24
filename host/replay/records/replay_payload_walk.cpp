#include "replay_payload_walk.h"

namespace kdreplay {

namespace {

using nlohmann::json;

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

bool WalkSessions(const json& payload, const kppRecordRows& type, WalkedPayload& walked) {
  const kppSessionSpread& spread = *type.spread;
  const json& sessions = payload[spread.sessions];
  if (!sessions.is_array() && !sessions.is_null()) return false;
  for (const json& session : sessions) {
    if (!session.is_object()) return false;
    json& record = walked.sessions.emplace_back(session);
    record[spread.carried] = payload[spread.carried];
    WalkedRecord walked_record;
    walked_record.type = &type;
    walked_record.record = &record;
    auto family = session.find(spread.family);
    if (family != session.end() && family->is_string()) {
      auto addresses = session.find(family->get<std::string>());
      if (addresses != session.end() && addresses->is_object())
        walked_record.addresses = &*addresses;
    }
    walked.records.push_back(std::move(walked_record));
  }
  return true;
}

struct FoundRecord {
  const json* record;
  std::vector<std::string> path;
};

bool WalkTree(const json& node, std::vector<std::string>& path, std::vector<FoundRecord>& found) {
  if (path.size() > kMaxDepth) return false;
  if (IsRecord(node)) {
    found.push_back({&node, path});
    return true;
  }
  if (!node.is_object() && !node.is_array()) return true;
  size_t position = 0;
  for (auto it = node.begin(); it != node.end(); ++it, ++position) {
    path.push_back(node.is_object() ? it.key() : std::to_string(position));
    bool ok = WalkTree(it.value(), path, found);
    path.pop_back();
    if (!ok) return false;
  }
  return true;
}

// Collects the records of a payload's "stats" and tells whether it is flat (an array of rows) or
// a nested tree. False when the tree is deeper than any record type builds.
bool FindRecords(const json& stats, bool& flat, std::vector<FoundRecord>& found) {
  flat = stats.is_array();
  for (const json& element : stats) {
    if (stats.is_array() && !element.is_null() && !IsRecord(element)) flat = false;
  }
  if (!flat) {
    std::vector<std::string> path;
    return WalkTree(stats, path, found);
  }
  for (const json& element : stats) {
    if (!element.is_null()) found.push_back({&element, {}});
  }
  return true;
}

}  // namespace

bool IsScalarValue(const json& value) {
  return value.is_string() || value.is_number() || value.is_boolean();
}

bool WalkPayload(const json& payload, uint32_t record_type, WalkedPayload& walked) {
  walked = WalkedPayload();
  const kppRecordRows* type = kppRecordRowsOf(record_type);
  if (type == nullptr || !payload.is_object()) return false;
  if (const kppSessionSpread* spread = type->spread) {
    if (!payload.contains(spread->carried) || !payload.contains(spread->sessions)) return false;
    return WalkSessions(payload, *type, walked);
  }
  auto stats = payload.find("stats");
  if (stats == payload.end()) return false;
  bool flat = false;
  std::vector<FoundRecord> found;
  if (!FindRecords(*stats, flat, found)) return false;
  for (FoundRecord& record : found) {
    WalkedRecord walked_record;
    walked_record.type = type;
    walked_record.record = record.record;
    walked_record.nested = !flat;
    if (!flat) {
      if (record.path.size() == type->nested_levels.count)
        walked_record.levels = &type->nested_levels;
      if (record.path.size() == type->private_levels.count)
        walked_record.levels = &type->private_levels;
    }
    walked_record.path = std::move(record.path);
    walked.records.push_back(std::move(walked_record));
  }
  return true;
}

}  // namespace kdreplay
