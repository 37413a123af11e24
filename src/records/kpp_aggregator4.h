// Record type 4: traffic per VLAN, local host, peer and port, application and protocol.
//
// Key: VLAN, peer IP text, peer port, application number, protocol number, then local MAC and
// IP text (left out in privacy mode).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_vlan_port_record.h"

class kppAggregator4 : public kppVlanPortRecord {
 public:
  static constexpr uint32_t kType = 4;

  kppAggregator4(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);

  void MakeKey(const kppRecordSettings& settings) override;
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters; the packet total wraps at 2^32.
  kppAggregator4& operator+=(const kppAggregator4& other);

  // The key a record built from flow would have, and the counters such a record holds (the
  // constructor starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow) { AddFlowTraffic(flow); }
};
