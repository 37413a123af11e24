// What the per-VLAN-and-port records (types 4 and 8) share: traffic per VLAN, local host, peer
// address and port, application number and protocol number, with the IP version and IP protocol
// of the sample's first flow.
//
// The nested form indexes by number: the VLAN, port, application and protocol levels are array
// positions, padded with null where no sample landed. Positions above kppMaxNestedPosition would
// make arrays too large to build; a record with such an application or protocol number is left
// out of the nested tree (Append returns false) and is kept in flat rows.
#pragma once

#include <cstdint>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_aggregator.h"

class kppVlanPortRecord : public kppAggregator {
 public:
  // [vlan_id][local_mac][local_ip][other_ip][other_port][application_id][protocol_id], the local
  // levels left out in privacy mode; numbers are array positions.
  kppNestedPath NestedPath(const kppRecordSettings& settings) const override;

  uint32_t application_id = 0;
  uint32_t protocol_id = 0;
  std::string local_ip;
  std::string local_mac;
  std::string other_ip;
  uint8_t ip_version = 0;
  uint16_t other_port = 0;
  uint16_t vlan_id = 0;
  uint32_t ip_protocol = 0;
  uint32_t packets = 0;
  uint64_t download = 0;
  uint64_t upload = 0;

 protected:
  // Reads the shared dimensions; the derived constructor reads its own, adds the flow and then
  // makes the key.
  explicit kppVlanPortRecord(const kdFlow& flow);

  // Writes the shared members: the counters and first-flow values always, the dimensions
  // (local addresses not in privacy mode) in flat rows only.
  void EncodeShared(nlohmann::json& record, const kppRecordSettings& settings) const;
  // Adds other's counters; the packet total wraps at 2^32.
  void AddTraffic(const kppVlanPortRecord& other);
  // The same for a flow.
  void AddFlowTraffic(const kdFlow& flow);
};
