#include "korviad/kd_addr.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>

namespace {

// Guards the cached text of every address.
std::mutex& AddressTextLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

const sockaddr_in* AsIPv4(const sockaddr_storage& ss) {
  return reinterpret_cast<const sockaddr_in*>(&ss);
}
const sockaddr_in6* AsIPv6(const sockaddr_storage& ss) {
  return reinterpret_cast<const sockaddr_in6*>(&ss);
}
const sockaddr_ll* AsLink(const sockaddr_storage& ss) {
  return reinterpret_cast<const sockaddr_ll*>(&ss);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseMac(const std::string& text, uint8_t mac[6]) {
  if (text.size() != 17) return false;
  char separator = text[2];
  if (separator != ':' && separator != '-') return false;
  for (int i = 0; i < 6; ++i) {
    int high = HexValue(text[i * 3]);
    int low = HexValue(text[i * 3 + 1]);
    if (high < 0 || low < 0) return false;
    if (i < 5 && text[i * 3 + 2] != separator) return false;
    mac[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

}  // namespace

kdAddr::kdAddr() : stale_(false) { memset(&addr_, 0, sizeof(addr_)); }

kdAddr::kdAddr(const kdAddr& other) : stale_(false) {
  memcpy(&addr_, &other.addr_, sizeof(addr_));
  std::lock_guard<std::mutex> guard(AddressTextLock());
  text_ = other.text_;
  stale_ = other.stale_;
}

kdAddr& kdAddr::operator=(const kdAddr& other) {
  if (this == &other) return *this;
  memcpy(&addr_, &other.addr_, sizeof(addr_));
  std::lock_guard<std::mutex> guard(AddressTextLock());
  text_ = other.text_;
  stale_ = other.stale_;
  return *this;
}

kdAddr::~kdAddr() = default;

void kdAddr::Clear() {
  memset(&addr_, 0, sizeof(addr_));
  text_.clear();
  stale_ = false;
}

bool kdAddr::Parse(const std::string& text) {
  Clear();
  in_addr v4;
  in6_addr v6;
  uint8_t mac[6];
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    SetIPv4(&v4);
  } else if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    SetIPv6(&v6);
  } else if (ParseMac(text, mac)) {
    SetMac(mac);
  } else {
    return false;
  }
  return true;
}

void kdAddr::Set(const sockaddr* sa, socklen_t length) {
  Clear();
  if (sa == nullptr) return;
  size_t needed = 0;
  switch (sa->sa_family) {
    case AF_INET: needed = sizeof(sockaddr_in); break;
    case AF_INET6: needed = sizeof(sockaddr_in6); break;
    case AF_PACKET: needed = sizeof(sockaddr_ll); break;
    default: return;
  }
  if (length < needed) return;
  memcpy(&addr_, sa, needed);
  stale_ = true;
}

void kdAddr::SetIPv4(const void* addr4, uint16_t port_network_order) {
  Clear();
  sockaddr_in* sin = reinterpret_cast<sockaddr_in*>(&addr_);
  sin->sin_family = AF_INET;
  memcpy(&sin->sin_addr, addr4, sizeof(sin->sin_addr));
  sin->sin_port = port_network_order;
  stale_ = true;
}

void kdAddr::SetIPv6(const void* addr6, uint16_t port_network_order) {
  Clear();
  sockaddr_in6* sin6 = reinterpret_cast<sockaddr_in6*>(&addr_);
  sin6->sin6_family = AF_INET6;
  memcpy(&sin6->sin6_addr, addr6, sizeof(sin6->sin6_addr));
  sin6->sin6_port = port_network_order;
  stale_ = true;
}

void kdAddr::SetMac(const uint8_t mac[6]) {
  Clear();
  sockaddr_ll* sll = reinterpret_cast<sockaddr_ll*>(&addr_);
  sll->sll_family = AF_PACKET;
  sll->sll_hatype = kEthernetHardwareType;
  sll->sll_halen = kEthernetAddressLength;
  memcpy(sll->sll_addr, mac, 6);
  stale_ = true;
}

bool kdAddr::IsIPv4() const { return addr_.ss_family == AF_INET; }
bool kdAddr::IsIPv6() const { return addr_.ss_family == AF_INET6; }

bool kdAddr::IsEthernet() const {
  if (addr_.ss_family != AF_PACKET) return false;
  const sockaddr_ll* sll = AsLink(addr_);
  return sll->sll_hatype == kEthernetHardwareType && sll->sll_halen == kEthernetAddressLength;
}

uint16_t kdAddr::GetPort(bool host_order) const {
  uint16_t port = 0;
  if (IsIPv4()) port = AsIPv4(addr_)->sin_port;
  if (IsIPv6()) port = AsIPv6(addr_)->sin6_port;
  return host_order ? ntohs(port) : port;
}

void kdAddr::SetPort(uint16_t port, bool host_order) {
  uint16_t stored = host_order ? htons(port) : port;
  if (IsIPv4()) reinterpret_cast<sockaddr_in*>(&addr_)->sin_port = stored;
  if (IsIPv6()) reinterpret_cast<sockaddr_in6*>(&addr_)->sin6_port = stored;
}

bool kdAddr::GetNAT64Addr(const kdAddr& address, kdAddr& result) {
  static const uint8_t kPrefix[12] = {0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
  if (!address.IsIPv6()) return false;
  const uint8_t* bytes = AsIPv6(address.addr_)->sin6_addr.s6_addr;
  if (memcmp(bytes, kPrefix, sizeof(kPrefix)) != 0) return false;
  result.SetIPv4(bytes + 12);
  return true;
}

void kdAddr::MakeString(const kdAddr& addr, std::string& out, uint8_t /*flags*/) {
  out.clear();
  addr.AppendString(out);
}

void kdAddr::AppendString(std::string& out) const {
  // Written by hand for IPv4 and link-layer addresses, which are most of what records format
  // per flow; the text is that of inet_ntop and of "%02x" pairs.
  switch (addr_.ss_family) {
    case AF_INET: {
      const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&AsIPv4(addr_)->sin_addr);
      char text[16];
      char* p = text;
      for (int i = 0; i < 4; ++i) {
        if (i != 0) *p++ = '.';
        const unsigned value = bytes[i];
        if (value >= 100) *p++ = static_cast<char>('0' + value / 100);
        if (value >= 10) *p++ = static_cast<char>('0' + value / 10 % 10);
        *p++ = static_cast<char>('0' + value % 10);
      }
      out.append(text, static_cast<size_t>(p - text));
      break;
    }
    case AF_INET6: {
      char text[INET6_ADDRSTRLEN];
      if (inet_ntop(AF_INET6, &AsIPv6(addr_)->sin6_addr, text, sizeof(text)) != nullptr)
        out += text;
      break;
    }
    case AF_PACKET: {
      static const char kHex[] = "0123456789abcdef";
      const sockaddr_ll* sll = AsLink(addr_);
      size_t length =
          sll->sll_halen < sizeof(sll->sll_addr) ? sll->sll_halen : sizeof(sll->sll_addr);
      char text[3 * sizeof(sll->sll_addr)];
      char* p = text;
      for (size_t i = 0; i < length; ++i) {
        if (i != 0) *p++ = ':';
        *p++ = kHex[sll->sll_addr[i] >> 4];
        *p++ = kHex[sll->sll_addr[i] & 15];
      }
      out.append(text, static_cast<size_t>(p - text));
      break;
    }
    default:
      break;
  }
}

std::string kdAddr::GetString() const {
  std::lock_guard<std::mutex> guard(AddressTextLock());
  if (stale_ || (text_.empty() && IsValid())) {
    MakeString(*this, text_);
    stale_ = false;
  }
  return text_;
}

int kdAddr::Compare(const kdAddr& a, const kdAddr& b) {
  if (a.addr_.ss_family != b.addr_.ss_family) return a.addr_.ss_family < b.addr_.ss_family ? -1 : 1;
  int rc = 0;
  switch (a.addr_.ss_family) {
    case AF_INET:
      rc = memcmp(&AsIPv4(a.addr_)->sin_addr, &AsIPv4(b.addr_)->sin_addr, 4);
      break;
    case AF_INET6:
      rc = memcmp(&AsIPv6(a.addr_)->sin6_addr, &AsIPv6(b.addr_)->sin6_addr, 16);
      break;
    case AF_PACKET:
      rc = memcmp(AsLink(a.addr_)->sll_addr, AsLink(b.addr_)->sll_addr, 8);
      break;
    default:
      return 0;
  }
  if (rc != 0) return rc < 0 ? -1 : 1;
  uint16_t pa = a.GetPort(true), pb = b.GetPort(true);
  if (pa != pb) return pa < pb ? -1 : 1;
  return 0;
}
