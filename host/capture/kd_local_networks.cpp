#include "kd_local_networks.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

// True when the first bits of a and b agree.
bool PrefixMatches(const uint8_t* a, const uint8_t* b, unsigned bits) {
  unsigned whole = bits / 8;
  if (memcmp(a, b, whole) != 0) return false;
  unsigned rest = bits % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

kdLocalNetworks kdLocalNetworks::Defaults() {
  kdLocalNetworks networks;
  for (const char* cidr : {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "100.64.0.0/10",
                           "169.254.0.0/16", "fc00::/7", "fe80::/10"}) {
    networks.Add(cidr);
  }
  return networks;
}

bool kdLocalNetworks::Add(const std::string& cidr) {
  std::string address = cidr;
  long length = -1;
  size_t slash = cidr.find('/');
  if (slash != std::string::npos) {
    address = cidr.substr(0, slash);
    std::string digits = cidr.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    length = strtol(digits.c_str(), nullptr, 10);
  }
  Network network{};
  if (inet_pton(AF_INET, address.c_str(), network.prefix) == 1) {
    network.ip_version = 4;
    if (length < 0) length = 32;
    if (length > 32) return false;
  } else if (inet_pton(AF_INET6, address.c_str(), network.prefix) == 1) {
    network.ip_version = 6;
    if (length < 0) length = 128;
    if (length > 128) return false;
  } else {
    return false;
  }
  network.length = static_cast<uint8_t>(length);
  networks_.push_back(network);
  return true;
}

bool kdLocalNetworks::Contains(uint8_t ip_version, const uint8_t* address) const {
  for (const Network& network : networks_) {
    if (network.ip_version == ip_version &&
        PrefixMatches(network.prefix, address, network.length)) {
      return true;
    }
  }
  return false;
}
