#include "floor_keys.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

#include <charconv>
#include <functional>

#include "kpp_record_key.h"

namespace kppbench {

namespace {

void AppendDecimal(std::string& out, uint64_t value) {
  char digits[20];
  auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

void AppendLabel(std::string& out, const kdFlow& flow) {
  AppendDecimal(out, flow.detected_application);
  out += '.';
  out += flow.detected_application_name.empty() ? "korvia.unclassified"
                                                : flow.detected_application_name;
}

// Key parts: each writer's text followed by its length.
void Number(std::string& out, uint64_t value) {
  const size_t start = out.size();
  AppendDecimal(out, value);
  kppEndKeyPart(out, start);
}

void Address(std::string& out, const kdAddr& addr) {
  const size_t start = out.size();
  FloorAddressText(addr, out);
  kppEndKeyPart(out, start);
}

void Label(std::string& out, const kdFlow& flow) {
  const size_t start = out.size();
  AppendLabel(out, flow);
  kppEndKeyPart(out, start);
}

void Text(std::string& out, const std::string& text) {
  const size_t start = out.size();
  out += text;
  kppEndKeyPart(out, start);
}

}  // namespace

void FloorAddressText(const kdAddr& addr, std::string& out) {
  const sockaddr_storage& ss = addr.GetSockAddr();
  switch (ss.ss_family) {
    case AF_INET: {
      const auto* bytes =
          reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr);
      for (int i = 0; i < 4; ++i) {
        if (i != 0) out += '.';
        AppendDecimal(out, bytes[i]);
      }
      break;
    }
    case AF_INET6: {
      char text[INET6_ADDRSTRLEN];
      if (inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, text,
                    sizeof(text)) != nullptr)
        out += text;
      break;
    }
    case AF_PACKET: {
      static const char kHex[] = "0123456789abcdef";
      const auto* sll = reinterpret_cast<const sockaddr_ll*>(&ss);
      size_t length =
          sll->sll_halen < sizeof(sll->sll_addr) ? sll->sll_halen : sizeof(sll->sll_addr);
      for (size_t i = 0; i < length; ++i) {
        if (i != 0) out += ':';
        out += kHex[sll->sll_addr[i] >> 4];
        out += kHex[sll->sll_addr[i] & 15];
      }
      break;
    }
    default:
      break;
  }
}

bool FloorKey(uint32_t type, bool privacy, const kdFlow& flow, std::string& key) {
  key.clear();
  // Types 2 to 8 take A as local only for endpoint_map 1; type 1 builds only known endpoints.
  const bool a_local = flow.endpoint_map == 1;
  const kdAddr& local_mac = a_local ? flow.mac_a : flow.mac_b;
  const kdAddr& local_ip = a_local ? flow.addr_a : flow.addr_b;
  const kdAddr& other_ip = a_local ? flow.addr_b : flow.addr_a;
  switch (type) {
    case 1:
      if (flow.endpoint_map != 1 && flow.endpoint_map != 2) return false;
      if (!privacy) {
        Address(key, local_mac);
        Address(key, local_ip);
      }
      Label(key, flow);
      Number(key, flow.detected_protocol);
      return true;
    case 2:
    case 3:
    case 6:
      Number(key, flow.ip_protocol);
      if (!privacy) {
        Address(key, local_mac);
        Address(key, local_ip);
      }
      Address(key, other_ip);
      Label(key, flow);
      if (type == 2)
        Number(key, flow.detected_protocol);
      else
        Text(key, flow.detected_protocol_name);
      return true;
    case 4:
    case 8:
      Number(key, flow.vlan_id);
      Address(key, other_ip);
      Number(key, other_ip.GetPort(true));
      Number(key, flow.detected_application);
      Number(key, flow.detected_protocol);
      if (type == 8)
        Text(key, flow.preferred_host_name.empty() ? flow.host_name : flow.preferred_host_name);
      if (!privacy) {
        Address(key, local_mac);
        Address(key, local_ip);
      }
      return true;
    default:
      return false;
  }
}

FloorCounters& FloorTable::Find(std::string_view key) {
  const uint32_t hash = static_cast<uint32_t>(std::hash<std::string_view>()(key));
  if (!slots_.empty()) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) break;
      if (static_cast<uint32_t>(slot >> 32) != hash) continue;
      Entry& entry = entries_[static_cast<uint32_t>(slot) - 1];
      if (entry.key == key) return entry.counters;
    }
  }
  if ((entries_.size() + 1) * 4 > slots_.size() * 3) Grow();
  Place(hash, entries_.size());
  entries_.push_back(Entry{std::string(key), FloorCounters()});
  return entries_.back().counters;
}

void FloorTable::Place(uint32_t hash, size_t position) {
  const size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = (uint64_t{hash} << 32) | (position + 1);
}

void FloorTable::Grow() {
  std::vector<uint64_t> old(slots_.empty() ? 16 : slots_.size() * 2, 0);
  old.swap(slots_);
  for (uint64_t slot : old) {
    if (slot != 0) Place(static_cast<uint32_t>(slot >> 32), static_cast<uint32_t>(slot) - 1);
  }
}

void FloorTable::clear() {
  std::vector<uint64_t>().swap(slots_);
  std::vector<Entry>().swap(entries_);
}

}  // namespace kppbench
