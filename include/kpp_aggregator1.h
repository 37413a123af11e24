// Record type 1: traffic per local host, application and protocol.
//
// Key: local MAC text, local IP text, application label, protocol number (privacy mode: label
// and protocol only). Only flows whose local endpoint is known (endpoint_map 1 or 2) are built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"

class kppAggregator1 : public kppAggregator {
 public:
  static constexpr uint32_t kType = 1;

  kppAggregator1(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow);

  void MakeKey() override;
  bool Append(nlohmann::json& stats) const override;
  void Encode(nlohmann::json& record) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters; the packet total wraps at 2^32.
  kppAggregator1& operator+=(const kppAggregator1& other);

  // The key a record built from flow would have (flags as kppPlugin::GetFlags()), and the
  // counters such a record would add with +=: the flow pass's way around building it.
  static void KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key);
  void AddFlow(const kdFlow& flow);

  std::string local_mac;
  std::string local_ip;
  std::string application_id;
  uint32_t protocol_id = 0;
  uint64_t upload = 0;
  uint64_t download = 0;
  uint32_t packets = 0;
};
