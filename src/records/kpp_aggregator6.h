// Record type 6: tagged traffic per host pair, application and protocol.
//
// The detail record with a packet count per side, the flow's tags and the application and
// protocol categories. Default key: as type 3. Key by overlay groups by tag set instead: the
// sorted tags, then local MAC and peer IP text (privacy mode: the tags alone); its rows then leave
// out the per-application and per-address members. Members outside the key, tags included, keep
// the values of the sample's first flow.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_peer_detail_record.h"

class kppAggregator6 : public kppPeerDetailRecord {
 public:
  static constexpr uint32_t kType = 6;

  kppAggregator6(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);

  void MakeKey(const kppRecordSettings& settings) override;
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters and unites the digests; each packet counter wraps at 2^32.
  kppAggregator6& operator+=(const kppAggregator6& other);

  // The key a record built from flow would have, and what such a record holds (the constructor
  // starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow);

  std::set<std::string> tags;
  uint32_t local_packets = 0;
  uint32_t other_packets = 0;
  uint32_t application_category = 0;
  uint32_t protocol_category = 0;
};
