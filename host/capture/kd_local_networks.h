// The networks a capture counts as local: IPv4 and IPv6 prefixes in CIDR notation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class kdLocalNetworks {
 public:
  // The private, shared, link-local and unique-local ranges.
  static kdLocalNetworks Defaults();

  // Adds "address/length" (or a bare address, a host prefix). False, with nothing added, for
  // text that is not a prefix; address bits past the prefix length are ignored.
  bool Add(const std::string& cidr);
  bool Empty() const { return networks_.empty(); }

  // True when the address (4 bytes for IPv4, 16 for IPv6) lies in one of the networks.
  bool Contains(uint8_t ip_version, const uint8_t* address) const;

 private:
  struct Network {
    uint8_t ip_version;
    uint8_t length;  // prefix length in bits
    uint8_t prefix[16];
  };
  std::vector<Network> networks_;
};
