// Record type 2: flows and traffic per local host, peer, application and protocol.
//
// Key: IP protocol number, local MAC text, local IP text, peer IP text, application label,
// protocol number, joined without separators (privacy mode leaves the local addresses out).
// The set of flow digests counts the distinct flows of a sample ("flow_count").
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"
#include "kpp_record.h"

class kppAggregator2 : public kppAggregator {
 public:
  static constexpr uint32_t kType = 2;

  kppAggregator2(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow);

  void MakeKey() override;
  bool Append(nlohmann::json& stats) const override;
  void Encode(nlohmann::json& record) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters and unites the digests; the packet total wraps at 2^32.
  kppAggregator2& operator+=(const kppAggregator2& other);

  // The key a record built from flow would have (flags as kppPlugin::GetFlags()), and what such
  // a record would add with +=: the flow pass's way around building it.
  static void KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key);
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
