// A sink observer that accounts for every payload the plugin dispatches: it finds each record in
// the payload (the rows of a flat array, or the leaves of a nested tree), tells from its member
// set which record type wrote it, and sums its traffic per type. A payload whose records belong
// to more than one type or layout, or to none, is a fault and is recorded as one.
//
// It can also hold the dispatching thread (the plugin's worker) inside the dispatch of a chosen
// record, so that a test knows the worker is between a payload pass and its next step.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "stress_traffic.h"

namespace stress {

// What one record says about itself: the type whose layout it has and the traffic it carries.
struct LeafReading {
  uint32_t type = 0;  // 0 when the member set is no known layout
  std::string layout;
  Traffic traffic;
};
LeafReading ReadLeaf(const nlohmann::json& leaf);

// The records of one payload's "stats", depth first; depth 1 is a row of a flat array.
struct Leaf {
  const nlohmann::json* record;
  size_t depth;
};
// Returns false (with a reason) when the tree holds something that is neither a record, a level
// of objects or arrays, nor null padding.
bool CollectLeaves(const nlohmann::json& stats, std::vector<Leaf>& leaves, std::string& reason);

class PayloadLedger {
 public:
  // Accounts for payloads dispatched to channel `channel` of sink `sink`.
  PayloadLedger(std::string sink, std::string channel);
  PayloadLedger(const PayloadLedger&) = delete;
  PayloadLedger& operator=(const PayloadLedger&) = delete;
  // Releases a held worker first.
  ~PayloadLedger();

  // Accounts for one payload (what the observer does; public for the ledger's own tests).
  void Account(const nlohmann::json& payload);

  // The next dispatch of a record carrying exactly these bytes and packets blocks until
  // Release(); WaitHeld() waits for it.
  void ArmHold(uint64_t bytes, uint64_t packets);
  bool WaitHeld();
  void Release();

  Traffic Dispatched(uint32_t type) const;
  std::vector<std::string> Faults() const;
  size_t Payloads() const;
  size_t NestedPayloads() const;

 private:
  void Fault(const std::string& text);

  std::string sink_;
  std::string channel_;
  uint64_t observer_ = 0;

  mutable std::mutex lock_;
  std::map<uint32_t, Traffic> dispatched_;
  std::vector<std::string> faults_;
  size_t payloads_ = 0;
  size_t nested_payloads_ = 0;

  std::condition_variable hold_changed_;
  bool hold_armed_ = false;
  bool held_ = false;
  uint64_t hold_bytes_ = 0;
  uint64_t hold_packets_ = 0;
};

}  // namespace stress
