#include "payload_ledger.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "korviad/korviad.h"
#include "kpp_record_rows.h"

namespace stress {

namespace {

using nlohmann::json;
using Members = std::set<std::string>;

struct Layout {
  uint32_t type;
  const char* name;
  Members members;
};

Members Without(Members members, std::initializer_list<const char*> names) {
  for (const char* name : names) members.erase(name);
  return members;
}

// The members of a type's flat row, as the plugin describes them.
Members FlatMembers(uint32_t type) {
  Members members;
  for (const kppRowMember& member : kppRecordRowsOf(type)->members) members.insert(member.name);
  return members;
}

const std::vector<Layout>& KnownLayouts() {
  static const std::vector<Layout> layouts = [] {
    const Members type1 = FlatMembers(1);
    const Members type2 = FlatMembers(2);
    const Members type8 = FlatMembers(8);
    return std::vector<Layout>{
        {1, "type 1 flat", type1},
        {1, "type 1 flat private", Without(type1, {"local_ip", "local_mac"})},
        {1, "type 1 nested", {"download", "packets", "upload"}},
        {2, "type 2 flat", type2},
        {2, "type 2 flat private", Without(type2, {"local_ip", "local_mac"})},
        {2, "type 2 nested",
         Without(type2, {"application_id", "local_ip", "local_mac", "other_ip", "protocol_id"})},
        {5, "type 5", FlatMembers(5)},
        {8, "type 8 flat", type8},
        {8, "type 8 flat private", Without(type8, {"local_ip", "local_mac"})},
        {8, "type 8 nested",
         Without(type8, {"application_id", "hostname", "local_ip", "local_mac", "other_ip",
                         "protocol_id"})},
    };
  }();
  return layouts;
}

// An unsigned member, or nothing when it is missing or of another type.
bool Unsigned(const json& record, const char* name, uint64_t& value) {
  auto it = record.find(name);
  if (it == record.end() || !it->is_number_unsigned()) return false;
  value = it->get<uint64_t>();
  return true;
}

bool IsLeaf(const json& node) {
  if (!node.is_object()) return false;
  auto packets = node.find("packets");
  if (packets != node.end() && packets->is_number()) return true;
  auto local = node.find("local_packets");
  return local != node.end() && local->is_number();
}

bool Collect(const json& node, size_t depth, std::vector<Leaf>& leaves, std::string& reason) {
  if (IsLeaf(node)) {
    leaves.push_back({&node, depth});
    return true;
  }
  if (node.is_null()) return true;  // padding of a nested array level
  if (!node.is_object() && !node.is_array()) {
    reason = "unexpected " + std::string(node.type_name()) + " at depth " + std::to_string(depth);
    return false;
  }
  for (const json& child : node) {
    if (!Collect(child, depth + 1, leaves, reason)) return false;
  }
  return true;
}

}  // namespace

LeafReading ReadLeaf(const json& leaf) {
  LeafReading reading;
  Members members;
  for (auto it = leaf.begin(); it != leaf.end(); ++it) members.insert(it.key());
  const Layout* layout = nullptr;
  for (const Layout& known : KnownLayouts()) {
    if (known.members == members) layout = &known;
  }
  if (layout == nullptr) return reading;

  uint64_t a = 0, b = 0, packets = 0;
  bool ok = true;
  switch (layout->type) {
    case 1:
    case 8:
      ok = Unsigned(leaf, "upload", a) && Unsigned(leaf, "download", b) &&
           Unsigned(leaf, "packets", packets);
      break;
    case 2:
      ok = Unsigned(leaf, "local_bytes", a) && Unsigned(leaf, "other_bytes", b) &&
           Unsigned(leaf, "packets", packets);
      break;
    case 5: {
      uint64_t local_packets = 0, other_packets = 0;
      ok = Unsigned(leaf, "local_bytes", a) && Unsigned(leaf, "other_bytes", b) &&
           Unsigned(leaf, "local_packets", local_packets) &&
           Unsigned(leaf, "other_packets", other_packets) &&
           Unsigned(leaf, "largest_bytes", reading.traffic.largest);
      packets = local_packets + other_packets;
      for (const std::string& name : SummedStatsKeys()) {
        uint64_t value = 0;
        ok = ok && Unsigned(leaf, name.c_str(), value);
        if (value != 0) reading.traffic.counters[name] = value;
      }
      break;
    }
  }
  if (!ok) return reading;
  reading.type = layout->type;
  reading.layout = layout->name;
  reading.traffic.bytes = a + b;
  reading.traffic.packets = packets;
  return reading;
}

bool CollectLeaves(const json& stats, std::vector<Leaf>& leaves, std::string& reason) {
  if (!stats.is_array() && !stats.is_object()) {
    reason = "stats is " + std::string(stats.type_name());
    return false;
  }
  for (const json& child : stats) {
    if (!Collect(child, 1, leaves, reason)) return false;
  }
  return true;
}

PayloadLedger::PayloadLedger(std::string sink_name, std::string channel_name)
    : sink_(std::move(sink_name)), channel_(std::move(channel_name)) {
  observer_ = kdSinkRegistry::AddObserver([this](const std::string& sink,
                                                 const std::set<std::string>& channels,
                                                 const json& payload, uint32_t /*flags*/) {
    if (sink == sink_ && channels.count(channel_) != 0) Account(payload);
  });
}

PayloadLedger::~PayloadLedger() {
  Release();
  kdSinkRegistry::RemoveObserver(observer_);
}

void PayloadLedger::Fault(const std::string& text) {
  // Caller holds lock_. The first faults tell the story; thousands more would drown it.
  if (faults_.size() < 20) faults_.push_back(text);
}

void PayloadLedger::Account(const json& payload) {
  std::unique_lock<std::mutex> guard(lock_);
  ++payloads_;
  const std::string where = "payload " + std::to_string(payloads_) + ": ";
  if (!payload.is_object() || payload.size() != 3 || !payload.contains("log_time_start") ||
      !payload.contains("log_time_end") || !payload.contains("stats") ||
      !payload["log_time_start"].is_number_integer() ||
      !payload["log_time_end"].is_number_integer()) {
    Fault(where + "not an envelope: " + payload.dump().substr(0, 200));
    return;
  }
  const json& stats = payload["stats"];
  std::vector<Leaf> leaves;
  std::string reason;
  if (!CollectLeaves(stats, leaves, reason)) {
    Fault(where + reason);
    return;
  }
  if (leaves.empty()) {
    Fault(where + "no records");
    return;
  }
  bool nested = stats.is_object();
  std::string layout;
  bool hold = false;
  for (const Leaf& leaf : leaves) {
    nested = nested || leaf.depth > 1;
    LeafReading reading = ReadLeaf(*leaf.record);
    if (reading.type == 0) {
      Fault(where + "record of no known layout: " + leaf.record->dump().substr(0, 300));
      return;
    }
    if (layout.empty()) layout = reading.layout;
    if (reading.layout != layout) {
      Fault(where + "mixes " + layout + " and " + reading.layout);
      return;
    }
    dispatched_[reading.type] += reading.traffic;
    hold = hold || (hold_armed_ && reading.traffic.bytes == hold_bytes_ &&
                    reading.traffic.packets == hold_packets_);
  }
  if (nested) ++nested_payloads_;
  if (!hold) return;
  held_ = true;
  hold_changed_.notify_all();
  hold_changed_.wait(guard, [this] { return !hold_armed_; });
}

void PayloadLedger::ArmHold(uint64_t bytes, uint64_t packets) {
  std::lock_guard<std::mutex> guard(lock_);
  hold_bytes_ = bytes;
  hold_packets_ = packets;
  held_ = false;
  hold_armed_ = true;
}

bool PayloadLedger::WaitHeld() {
  std::unique_lock<std::mutex> guard(lock_);
  return hold_changed_.wait_for(guard, std::chrono::minutes(2), [this] { return held_; });
}

void PayloadLedger::Release() {
  std::lock_guard<std::mutex> guard(lock_);
  hold_armed_ = false;
  held_ = false;
  hold_changed_.notify_all();
}

Traffic PayloadLedger::Dispatched(uint32_t type) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = dispatched_.find(type);
  return it == dispatched_.end() ? Traffic() : it->second;
}

std::vector<std::string> PayloadLedger::Faults() const {
  std::lock_guard<std::mutex> guard(lock_);
  return faults_;
}

size_t PayloadLedger::Payloads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return payloads_;
}

size_t PayloadLedger::NestedPayloads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return nested_payloads_;
}

}  // namespace stress
