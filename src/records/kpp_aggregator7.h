// Record type 7: a log of translated (NAT) flows per access point.
//
// Built from single-flow events, never from flow-map snapshots. The key is the access point's MAC
// text, so every flow seen on one access point meets in one sample, which lists one entry per flow
// digest; a later event about a flow replaces its entry. Each sample becomes a payload of its own:
// {"apMac", "flows": [...]}, with no row or nested form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "korviad/kd_addr.h"
#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"

class kppAggregator7 : public kppAggregator {
 public:
  static constexpr uint32_t kType = 7;

  // One flow as the log reports it. A copy of the host's values: it outlives the flow.
  struct Entry {
    enum State : uint8_t { kUnknown = 0, kNew = 1, kClosed = 2 };

    Entry() = default;
    // Orients the flow by its origin (the originating endpoint is the source and its MAC the
    // client's), derives the family and, for "xlat", replaces each NAT64 address by the IPv4
    // address embedded in it, keeping the port.
    Entry(const uint64_t& digest, const std::shared_ptr<kdFlow>& flow);

    kdAddr client_mac;
    uint64_t digest = 0;
    std::string family;  // "xlat", "ipv4", "ipv6" or "unknown"
    kdAddr src_addr;
    kdAddr dst_addr;
    kdAddr nat_src_addr;
    uint64_t start_time = 0;  // seconds since the epoch
    uint64_t stop_time = 0;   // 0 unless closed
    uint8_t state = kUnknown;
  };

  // Throws kdException when the flow's capture type calls for a link-address lookup and no host
  // instance exists.
  kppAggregator7(const kppRecordSettings& settings, const std::shared_ptr<kdFlow>& flow);
  // The record of a single-flow event: null for a flow that was not translated (no NAT address),
  // which the log leaves out.
  static std::shared_ptr<kppAggregator> FromFlowEvent(const kppRecordSettings& settings,
                                                      const std::shared_ptr<kdFlow>& flow);

  // Appends the access point MAC of the flow's interface to out: twelve upper-case hex digits,
  // "000000000000" when the host knows no Ethernet address for it.
  static void GetApMac(const std::shared_ptr<kdFlow>& flow, std::string& out);
  // Appends the hex digits of in to out, then upper-cases all of out.
  static void TransformMacAddr(const std::string& in, std::string& out);

  // The key is the access point MAC.
  void MakeKey(const kppRecordSettings& settings) override;
  // The whole payload; the same in both forms.
  void Encode(nlohmann::json& record, const kppRecordSettings& settings) const override;
  // Never used: each sample is a payload of its own. A member named after the access point.
  kppNestedPath NestedPath(const kppRecordSettings& settings) const override;
  uint32_t Type() const override { return kType; }
  void MergeFrom(const kppAggregator& other) override;

  // Copies other's entries in, replacing those with the same digest; nothing is summed.
  kppAggregator7& operator+=(const kppAggregator7& other);

  // The entries in order of first arrival of their digest, which is the order of "flows".
  const std::vector<Entry>& entries() const { return entries_; }

  std::string ap_mac;

 private:
  void Put(const Entry& entry);

  std::vector<Entry> entries_;
  // Digest to position in entries_.
  std::unordered_map<uint64_t, size_t> index_;
};
