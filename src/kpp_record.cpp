#include "kpp_record.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <unordered_set>

#include "korviad/kd_digest.h"

using nlohmann::json;

kppSides kppSelectSides(const kdFlow& flow, bool local_is_a) {
  kppEndpoint a{&flow.mac_a, &flow.addr_a, flow.bytes_a, flow.packets_a};
  kppEndpoint b{&flow.mac_b, &flow.addr_b, flow.bytes_b, flow.packets_b};
  return local_is_a ? kppSides{a, b} : kppSides{b, a};
}

bool kppLocalOrigin(const kdFlow& flow) {
  if (flow.origin == 2) return flow.endpoint_map == 2;
  return flow.endpoint_map == 1;
}

void kppAppendDecimal(std::string& key, uint64_t value) {
  char digits[20];
  const char* end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  key.append(digits, static_cast<size_t>(end - digits));
}

void kppAppendPart(std::string& key, const kppFlowLabel& label) {
  kppAppendDecimal(key, label.flow.detected_application);
  key += '.';
  key += label.flow.detected_application_name.empty() ? "korvia.unclassified"
                                                      : label.flow.detected_application_name;
}

std::string kppApplicationLabel(const kdFlow& flow) {
  std::string label;
  kppAppendPart(label, kppFlowLabel{flow});
  return label;
}

const char* kppOtherTypeWord(uint8_t code) {
  switch (code) {
    case kdFlow::OTHER_UNSUPPORTED: return "unsupported";
    case kdFlow::OTHER_LOCAL: return "local";
    case kdFlow::OTHER_MULTICAST: return "multicast";
    case kdFlow::OTHER_BROADCAST: return "broadcast";
    case kdFlow::OTHER_REMOTE: return "remote";
    case kdFlow::OTHER_ERROR: return "error";
    default: return "unknown";
  }
}

void kppDigestSet::Insert(uint64_t digest) {
  if (index_) {
    if (index_->insert(digest).second) order_.push_back(digest);
    return;
  }
  for (uint64_t held : order_) {
    if (held == digest) return;
  }
  order_.push_back(digest);
  if (order_.size() > kIndexedFrom)
    index_ = std::make_unique<std::unordered_set<uint64_t>>(order_.begin(), order_.end());
}

json kppDigestSet::ToJson() const {
  std::vector<std::string> texts;
  texts.reserve(order_.size());
  std::string text;
  for (uint64_t digest : order_) {
    kd_xxh64_to_string(digest, text);
    texts.push_back(text);
  }
  return json(texts);
}

void kppAppendRow(json& stats, json&& row) { stats.push_back(std::move(row)); }

json& kppNestedMember(json& node, std::string_view name) { return node[name]; }

json* kppNestedPosition(json& node, uint64_t position) {
  if (position > kppMaxNestedPosition) return nullptr;
  // operator[] on an array pads it with nulls up to the position; a null becomes an array.
  return &node[static_cast<size_t>(position)];
}

namespace {

// Members that carry traffic and are summed when two leaves meet; the packet counters are 32-bit
// in every record and wrap as they do there.
const char* const kSummed64[] = {"local_bytes", "other_bytes", "upload", "download", "flow_count"};
const char* const kSummed32[] = {"packets", "local_packets", "other_packets"};

void AddMember(json& into, const json& from, const char* name, bool wrap32) {
  auto source = from.find(name);
  auto target = into.find(name);
  if (source == from.end() || target == into.end()) return;
  if (!source->is_number_unsigned() || !target->is_number_unsigned()) return;
  uint64_t sum = target->get<uint64_t>() + source->get<uint64_t>();
  if (wrap32) sum = static_cast<uint32_t>(sum);
  *target = sum;
}

void UniteDigests(json& into, const json& from) {
  auto source = from.find("digests");
  auto target = into.find("digests");
  if (source == from.end() || target == into.end()) return;
  if (!source->is_array() || !target->is_array()) return;
  // Digests are texts; their views stay valid as the array grows, since each string lives apart
  // from the array's elements.
  std::unordered_set<std::string_view> present;
  for (const json& existing : *target) {
    if (existing.is_string()) present.insert(existing.get_ref<const std::string&>());
  }
  for (const json& digest : *source) {
    if (digest.is_string()) {
      if (!present.insert(digest.get_ref<const std::string&>()).second) continue;
    } else if (std::find(target->begin(), target->end(), digest) != target->end()) {
      continue;
    }
    target->push_back(digest);
  }
}

}  // namespace

void kppPlaceLeaf(json& slot, json&& leaf) {
  if (!slot.is_object() || !leaf.is_object()) {
    slot = std::move(leaf);
    return;
  }
  for (const char* name : kSummed64) AddMember(slot, leaf, name, false);
  for (const char* name : kSummed32) AddMember(slot, leaf, name, true);
  UniteDigests(slot, leaf);
}

bool kppPlaceNested(json& stats, const kppNestedPath& path, json&& leaf) {
  for (const kppNestedLevel& level : path) {
    if (level.is_position && level.position > kppMaxNestedPosition) return false;
  }
  json* node = &stats;
  for (const kppNestedLevel& level : path) {
    node = level.is_position ? kppNestedPosition(*node, level.position)
                             : &kppNestedMember(*node, level.name);
  }
  kppPlaceLeaf(*node, std::move(leaf));
  return true;
}
