// Record type 4: traffic per VLAN, local host, peer and port, application and protocol.
//
// Key: VLAN, peer IP text, peer port, application number, protocol number, then local MAC and
// IP text (left out in privacy mode), joined without separators.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_vlan_port_record.h"

class kppAggregator4 : public kppVlanPortRecord {
 public:
  static constexpr uint32_t kType = 4;

  kppAggregator4(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow);

  void MakeKey() override;
  void Encode(nlohmann::json& record) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters; the packet total wraps at 2^32.
  kppAggregator4& operator+=(const kppAggregator4& other);

  // The key a record built from flow would have (flags as kppPlugin::GetFlags()), and the
  // counters such a record would add with +=: the flow pass's way around building it.
  static void KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key);
  void AddFlow(const kdFlow& flow) { AddFlowTraffic(flow); }
};
