// Network addresses as the host keeps them: IPv4 and IPv6 addresses with a port, and link-layer
// (MAC) addresses, each with a cached text form.
//
// Text forms are fixed and relied upon by records and tools:
//   IPv4       dotted quad, without the port          192.0.2.7
//   IPv6       as inet_ntop writes it, without port   2001:db8::1
//   link layer six lower-case hex pairs joined by ":" 00:1a:2b:3c:4d:5e
//   never set  the empty text
//
// GetString() keeps the text inside the address and regenerates it with MakeString under one
// global address-text lock when it is empty or stale, so concurrent readers of one address are
// safe. Setters mark the text stale; they are not meant to race with readers.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "korviad/kd_export.h"

class KD_EXPORT kdAddr {
 public:
  // Hardware type and length of an Ethernet link-layer address.
  static constexpr uint16_t kEthernetHardwareType = 1;
  static constexpr uint8_t kEthernetAddressLength = 6;

  kdAddr();
  kdAddr(const kdAddr& other);
  kdAddr& operator=(const kdAddr& other);
  ~kdAddr();

  // Parses IPv4, IPv6 or MAC text ("aa:bb:cc:dd:ee:ff", also with "-" separators). A MAC becomes
  // an AF_PACKET address with hardware type 1 (Ethernet) and length 6. Returns false and leaves
  // the address cleared when the text is none of these.
  bool Parse(const std::string& text);
  // Sets from a socket address of family AF_INET, AF_INET6 or AF_PACKET; others clear it.
  void Set(const sockaddr* sa, socklen_t length);
  void SetIPv4(const void* addr4, uint16_t port_network_order = 0);
  void SetIPv6(const void* addr6, uint16_t port_network_order = 0);
  void SetMac(const uint8_t mac[6]);
  void Clear();

  // GetPort(true) gives the port in host byte order (for JSON), GetPort(false) as stored, in
  // network byte order (to carry it over to another address). Non-IP addresses have port 0.
  uint16_t GetPort(bool host_order = true) const;
  // The counterpart of GetPort(false): port in network byte order unless host_order is true.
  void SetPort(uint16_t port, bool host_order = false);

  // RFC 6052 well-known prefix 64:ff9b::/96: result becomes the IPv4 address of the last 32 bits
  // (port 0). Fails, leaving result untouched, for an address outside the prefix.
  static bool GetNAT64Addr(const kdAddr& address, kdAddr& result);

  // The text form (see above). Thread-safe.
  std::string GetString() const;
  // Appends the text form to out, formatted from the address itself: the same text as
  // GetString(), without its lock and without allocating once out has room. Thread-safe as long
  // as no setter runs meanwhile, like GetString().
  void AppendString(std::string& out) const;
  // Writes the text form of addr into out. flags are reserved (0 = the forms above).
  static void MakeString(const kdAddr& addr, std::string& out, uint8_t flags = 0);

  sa_family_t GetFamily() const { return addr_.ss_family; }
  bool IsValid() const { return addr_.ss_family != AF_UNSPEC; }
  bool IsIPv4() const;
  bool IsIPv6() const;
  bool IsIP() const { return IsIPv4() || IsIPv6(); }
  // A link-layer address of hardware type 1 (Ethernet) and length 6.
  bool IsEthernet() const;
  const sockaddr_storage& GetSockAddr() const { return addr_; }

  // Total order over family, address bytes and port; used by hosts to orient flows.
  static int Compare(const kdAddr& a, const kdAddr& b);
  friend bool operator==(const kdAddr& a, const kdAddr& b) { return Compare(a, b) == 0; }
  friend bool operator!=(const kdAddr& a, const kdAddr& b) { return Compare(a, b) != 0; }

 private:
  sockaddr_storage addr_;
  mutable std::string text_;
  mutable bool stale_;
};
