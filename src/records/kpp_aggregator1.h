// Record type 1: traffic per local host, application and protocol.
//
// Key: local MAC text, local IP text, application label, protocol number (privacy mode: label
// and protocol only). Only flows whose local endpoint is known (endpoint_map 1 or 2) are built.
//
// The record's text is one string (the base's key) holding the four key parts in a row, viewed by
// the dimension members; the sample key is all of it, or in privacy mode the part from the label
// on. One allocation for all of a sample's text keeps a sample small.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"

class kppAggregator1 : public kppAggregator {
 public:
  static constexpr uint32_t kType = 1;

  kppAggregator1(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);

  void MakeKey(const kppRecordSettings& settings) override;
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  // [local_mac][local_ip][application label][protocol number], the local levels left out in
  // privacy mode.
  kppNestedPath NestedPath(const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Adds other's counters; the packet total wraps at 2^32.
  kppAggregator1& operator+=(const kppAggregator1& other);

  // The key a record built from flow would have, and the counters such a record holds (the
  // constructor starts from zero and adds its flow with it).
  static void KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings, std::string& key);
  void AddFlow(const kdFlow& flow);

  // Views of the record's text.
  std::string_view local_mac;
  std::string_view local_ip;
  std::string_view application_id;
  uint32_t protocol_id = 0;
  uint32_t packets = 0;
  uint64_t upload = 0;
  uint64_t download = 0;

 private:
  // Writes the text from its parts and points the views at it; the sample key starts at the label
  // in privacy mode. The parts may be views of the text being replaced.
  template <typename Address, typename Label>
  void SetText(const Address& local_mac, const Address& local_ip, const Label& application,
               const kppRecordSettings& settings);
};
