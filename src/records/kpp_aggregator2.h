// Record type 2: flows and traffic per local host, peer, application and protocol.
//
// Key: IP protocol number, local MAC text, local IP text, peer IP text, application label,
// protocol number (privacy mode leaves the local addresses out). The set of flow digests counts
// the distinct flows of a sample ("flow_count").
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"
#include "kpp_digest_set.h"

class kppAggregator2 : public kppAggregator {
 public:
  static constexpr uint32_t kType = 2;

  kppAggregator2(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);

  void MakeKey(const kppRecordSettings& settings) override;
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  // [local_mac][local_ip][other_ip][application label][protocol number], the local levels left
  // out in privacy mode. The IP protocol is not on it: samples differing only there meet.
  kppNestedPath NestedPath(const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters and unites the digests; the packet total wraps at 2^32.
  kppAggregator2& operator+=(const kppAggregator2& other);

  // The key a record built from flow would have, and what such a record holds (the constructor
  // starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow);

  uint32_t ip_protocol = 0;
  std::string local_mac;
  std::string local_ip;
  std::string other_ip;
  std::string application_id;
  uint32_t protocol_id = 0;
  kppDigestSet digests;
  uint64_t local_bytes = 0;
  uint64_t other_bytes = 0;
  uint32_t packets = 0;
};
