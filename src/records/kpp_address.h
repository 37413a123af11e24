// What a record reads of a host address: its text and its kind. Both come from the calls the
// daemon promises (MakeString, and the socket address the address holds), never from this
// host's own conveniences, so that the plugin loads into any host that keeps those promises.
#pragma once

#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "korviad/kd_addr.h"

// The address text, as the host formats it (the empty text for an address never set). Formatted
// from the address itself, without the host's address-text lock, so that host threads building
// records do not queue on it.
inline std::string kppAddressText(const kdAddr& addr) {
  std::string text;
  kdAddr::MakeString(addr, text);
  return text;
}

// Appends the address text to out; allocates nothing once the thread has formatted an address
// of that length before.
void kppAppendAddressText(std::string& out, const kdAddr& addr);

inline bool kppIsIPv4(const kdAddr& addr) {
  return addr.GetSockAddr().ss_family == AF_INET;
}
inline bool kppIsIPv6(const kdAddr& addr) {
  return addr.GetSockAddr().ss_family == AF_INET6;
}

// A link-layer address of hardware type 1 (Ethernet) and length 6; the packet type is not looked
// at.
inline bool kppIsEthernet(const kdAddr& addr) {
  const sockaddr_storage& storage = addr.GetSockAddr();
  if (storage.ss_family != AF_PACKET) return false;
  const sockaddr_ll* link = reinterpret_cast<const sockaddr_ll*>(&storage);
  return link->sll_hatype == kdAddr::kEthernetHardwareType &&
         link->sll_halen == kdAddr::kEthernetAddressLength;
}
