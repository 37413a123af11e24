// What the detail records (types 3 and 6) share: one sample per IP protocol, local host, peer,
// application and protocol, reporting the flow's capture interface and its role, who opened the
// flow, the peer's port and kind, the detected application and protocol by number and name, and
// the digests of the flows merged into it.
//
// Members outside the key keep the values of the sample's first flow; only the byte totals, the
// derived class's packet counters and the digests change after construction.
#pragma once

#include <cstdint>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"
#include "kpp_digest_set.h"

class kppPeerDetailRecord : public kppAggregator {
 public:
  // [local_mac][local_ip][other_ip][application label][protocol name], the local levels left out
  // in privacy mode. The IP protocol is not on it: samples differing only there meet.
  kppNestedPath NestedPath(const kppRecordSettings& settings) const override;

  bool internal = false;
  bool local_origin = false;
  uint32_t detected_application = 0;
  uint32_t detected_protocol = 0;
  std::string detected_application_name;
  std::string detected_protocol_name;
  std::string interface;
  std::string local_ip;
  std::string local_mac;
  std::string other_ip;
  std::string other_type;
  uint8_t ip_version = 0;
  uint16_t other_port = 0;
  uint32_t ip_protocol = 0;
  uint64_t local_bytes = 0;
  uint64_t other_bytes = 0;
  kppDigestSet digests;

 protected:
  // Reads the shared dimensions; the derived constructor reads its own, adds the flow and then
  // makes the key.
  explicit kppPeerDetailRecord(const kdFlow& flow);

  // IP protocol number, local MAC and IP (not in privacy mode), peer IP, application label and
  // protocol name.
  void MakePeerKey(const kppRecordSettings& settings);
  // The same key for the record a flow would build.
  static void PeerKeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                              std::string& key);
  // The members written in every form.
  void EncodeShared(nlohmann::json& record) const;
  // The dimensions written only in flat rows; the local addresses not in privacy mode.
  void EncodeDimensions(nlohmann::json& record, bool privacy) const;
  // Adds other's byte totals and unites the digests.
  void AddShared(const kppPeerDetailRecord& other);
  // The same for a flow.
  void AddSharedFlow(const kdFlow& flow);
};
