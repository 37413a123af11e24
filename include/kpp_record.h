// Notions shared by the flow record types: which endpoint of a flow is local, address text,
// the application label, key joining, the set of flow digests, and the two ways a record is
// placed into a payload's "stats" (a row of a flat array, or a leaf of a nested tree).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "korviad/kd_flow.h"

// One endpoint of a flow, as a record sees it.
struct kppEndpoint {
  const kdAddr* mac;
  const kdAddr* ip;
  uint64_t bytes;
  uint32_t packets;
};

struct kppSides {
  kppEndpoint local;
  kppEndpoint other;
};

// Endpoint A is local when local_is_a, else endpoint B.
kppSides kppSelectSides(const kdFlow& flow, bool local_is_a);

// The side rule of the per-peer types: A is local only when endpoint_map is 1; every other value,
// 0 included, makes B local.
inline kppSides kppPeerSides(const kdFlow& flow) {
  return kppSelectSides(flow, flow.endpoint_map == 1);
}

// Whether the local endpoint opened the flow: with origin 2 exactly when endpoint_map is 2, with
// any other origin exactly when endpoint_map is 1.
bool kppLocalOrigin(const kdFlow& flow);

// The address text of a flow attribute, as the host formats it.
inline std::string kppAddressText(const kdAddr& addr) {
  std::string text;
  addr.AppendString(text);
  return text;
}

// "<detected_application>.<detected_application_name>", the name defaulting to
// "korvia.unclassified".
std::string kppApplicationLabel(const kdFlow& flow);

// The word for a flow's other_type code ("unknown" for 0 and any code above 6).
const char* kppOtherTypeWord(uint8_t code);

// Keys are their parts joined without separators; numbers enter as decimal text.
void kppAppendDecimal(std::string& key, uint64_t value);

// Key parts. Each record type builds its key with one function over its parts, called with the
// record's stored fields (MakeKey) or with the flow's own attributes (KeyFromFlow, which spares
// the flow pass a record for a flow whose sample exists): a part appends the same text either way.
inline void kppAppendPart(std::string& key, const std::string& text) { key += text; }
inline void kppAppendPart(std::string& key, std::string_view text) { key += text; }
inline void kppAppendPart(std::string& key, const kdAddr& addr) { addr.AppendString(key); }
// A flow's application label, appended without being built first.
struct kppFlowLabel {
  const kdFlow& flow;
};
void kppAppendPart(std::string& key, const kppFlowLabel& label);

// Digests of the flows merged into a sample; iterates in order of first insertion. Most samples
// hold a few flows: their list is searched as it is. A hash set is built beside it only once it
// grows past kIndexedFrom, so that a sample of many flows stays cheap to merge into.
class kppDigestSet {
 public:
  static constexpr size_t kIndexedFrom = 16;

  void Insert(uint64_t digest);
  // Takes the last entry of a flow's digest list; a flow without digests adds none.
  void InsertLastOf(const kdFlow& flow) {
    if (!flow.digests.empty()) Insert(flow.digests.back());
  }
  void Merge(const kppDigestSet& other) {
    for (uint64_t digest : other.order_) Insert(digest);
  }
  size_t size() const { return order_.size(); }
  const std::vector<uint64_t>& values() const { return order_; }
  // The digest texts as a JSON array of strings.
  nlohmann::json ToJson() const;

 private:
  std::vector<uint64_t> order_;
  // Present once order_ is longer than kIndexedFrom, holding the same digests.
  std::unique_ptr<std::unordered_set<uint64_t>> index_;
};

// Flat form: appends row to stats (a null stats becomes an array).
void kppAppendRow(nlohmann::json& stats, nlohmann::json&& row);

// Nested form. A path is walked level by level from stats: a name level is an object member, a
// position level an array element (the array grows with nulls up to the position). Positions
// above kppMaxNestedPosition are refused: kppNestedPosition returns null and the record is left
// out, since a position is an array size and unbounded values would exhaust memory.
constexpr uint64_t kppMaxNestedPosition = 65535;
nlohmann::json& kppNestedMember(nlohmann::json& node, std::string_view name);
nlohmann::json* kppNestedPosition(nlohmann::json& node, uint64_t position);

// Puts leaf at slot, the end of a nested path. Two samples can share a path (their keys differ in
// parts the path leaves out); then the traffic of the second is added to the first so that none
// is lost: byte, packet and flow counters are summed, digest lists united, and every other member
// keeps the value already there.
void kppPlaceLeaf(nlohmann::json& slot, nlohmann::json&& leaf);

// One level of a nested path: an object member name, or an array position (At). A name is a view:
// the text it names must outlive the path.
struct kppNestedLevel {
  kppNestedLevel() = default;
  kppNestedLevel(std::string_view member) : name(member) {}
  kppNestedLevel(const std::string& member) : name(member) {}
  static kppNestedLevel At(uint64_t index) {
    kppNestedLevel level;
    level.is_position = true;
    level.position = index;
    return level;
  }

  std::string_view name;
  bool is_position = false;
  uint64_t position = 0;
};

// A path of up to kMaxDepth levels, held in place: placing a record allocates no path.
class kppNestedPath {
 public:
  static constexpr size_t kMaxDepth = 8;

  kppNestedPath(std::initializer_list<kppNestedLevel> levels = {}) {
    for (const kppNestedLevel& level : levels) Add(level);
  }
  // Levels past kMaxDepth are a programming error.
  void Add(const kppNestedLevel& level) { levels_.at(size_++) = level; }

  const kppNestedLevel* begin() const { return levels_.data(); }
  const kppNestedLevel* end() const { return levels_.data() + size_; }

 private:
  std::array<kppNestedLevel, kMaxDepth> levels_;
  size_t size_ = 0;
};

// Walks path from stats, creating missing levels, and places leaf at its end with kppPlaceLeaf.
// Returns false and leaves stats untouched when a position is above kppMaxNestedPosition, so that
// a refused record leaves no half-built branch behind.
bool kppPlaceNested(nlohmann::json& stats, const kppNestedPath& path, nlohmann::json&& leaf);
