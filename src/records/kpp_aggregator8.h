// Record type 8: traffic per VLAN, peer port, application, protocol and host name.
//
// Type 4 with the flow's host name as one more dimension. Key: VLAN, peer IP text, peer port,
// application number, protocol number and host name, then local MAC and IP text (left out in
// privacy mode). The host name is neither in the nested path nor in the nested record: samples
// differing only there meet on one path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_vlan_port_record.h"

class kppAggregator8 : public kppVlanPortRecord {
 public:
  static constexpr uint32_t kType = 8;

  kppAggregator8(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);

  void MakeKey(const kppRecordSettings& settings) override;
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters; the packet total wraps at 2^32.
  kppAggregator8& operator+=(const kppAggregator8& other);

  // The key a record built from flow would have, and the counters such a record holds (the
  // constructor starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow) { AddFlowTraffic(flow); }

  // preferred_host_name when set, else host_name (possibly empty).
  std::string hostname;
};
