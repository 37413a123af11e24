// Record type 8: traffic per VLAN, peer port, application, protocol and host name.
//
// Type 4 with the flow's host name as one more dimension. Key: VLAN, peer IP text, peer port,
// application number, protocol number and host name, then local MAC and IP text (left out in
// privacy mode), each part separated by ":"; parts are not escaped, so a ":" inside a part is
// taken as it is. The host name is neither in the nested path nor in the nested record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_vlan_port_record.h"

class kppAggregator8 : public kppVlanPortRecord {
 public:
  static constexpr uint32_t kType = 8;

  kppAggregator8(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow);

  void MakeKey() override;
  void Encode(nlohmann::json& record) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters; the packet total wraps at 2^32.
  kppAggregator8& operator+=(const kppAggregator8& other);

  // The key a record built from flow would have (flags as kppPlugin::GetFlags()), and the
  // counters such a record would add with +=: the flow pass's way around building it.
  static void KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key);
  void AddFlow(const kdFlow& flow) { AddFlowTraffic(flow); }

  // preferred_host_name when set, else host_name (possibly empty).
  std::string hostname;
};
