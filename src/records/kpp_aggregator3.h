// Record type 3: flow detail per local host, peer, application and protocol, with one packet
// total for both directions. Key: IP protocol number, local MAC text, local IP text, peer IP
// text, application label, protocol name (privacy mode leaves the local addresses out).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_peer_detail_record.h"

class kppAggregator3 : public kppPeerDetailRecord {
 public:
  static constexpr uint32_t kType = 3;

  kppAggregator3(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);

  void MakeKey(const kppRecordSettings& settings) override;
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters and unites the digests; the packet total wraps at 2^32.
  kppAggregator3& operator+=(const kppAggregator3& other);

  // The key a record built from flow would have, and what such a record holds (the constructor
  // starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow);

  uint32_t packets = 0;
};
