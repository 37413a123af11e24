#include "kpp_aggregator7.h"

#include <netinet/in.h>

#include <cctype>
#include <ctime>

#include "korviad/kd_digest.h"
#include "korviad/kd_instance.h"
#include "kpp_address.h"

using nlohmann::json;

namespace {

constexpr const char* kNoMac = "00:00:00:00:00:00";

// Capture types (low bit ignored) whose access point is known: the first two by the interface's
// own index, the third by the index recorded with each flow.
constexpr uint32_t kCaptureInterfaceIndex1 = 2;
constexpr uint32_t kCaptureInterfaceIndex2 = 8;
constexpr uint32_t kCaptureFlowIndex = 16;

// The text of mac when it is an Ethernet address, else the all-zero MAC text.
std::string EthernetText(const kdAddr& mac) {
  return kppIsEthernet(mac) ? mac.GetString() : kNoMac;
}

// Whether addr is an IPv6 address under 64:ff9b::/32.
bool IsNat64(const kdAddr& addr) {
  if (!kppIsIPv6(addr)) return false;
  const uint8_t* bytes =
      reinterpret_cast<const sockaddr_in6*>(&addr.GetSockAddr())->sin6_addr.s6_addr;
  return bytes[0] == 0x00 && bytes[1] == 0x64 && bytes[2] == 0xff && bytes[3] == 0x9b;
}

// Replaces a NAT64 address by the IPv4 address it embeds, port included; an address the host
// cannot translate stays as it is.
void TranslateNat64(kdAddr& addr) {
  if (!IsNat64(addr)) return;
  kdAddr ipv4;
  if (!kdAddr::GetNAT64Addr(addr, ipv4)) return;
  ipv4.SetPort(addr.GetPort(false));
  addr = ipv4;
}

// UTC calendar time, e.g. 2024-03-01T12:00:05Z. gmtime_r, since host threads format too; the
// empty text for a time the calendar cannot hold.
std::string UtcText(uint64_t seconds) {
  const time_t value = static_cast<time_t>(seconds);
  struct tm calendar;
  if (gmtime_r(&value, &calendar) == nullptr) return "";
  char buffer[64];
  size_t length = strftime(buffer, sizeof(buffer), "%Y-%m-%dT%H:%M:%SZ", &calendar);
  return std::string(buffer, length);
}

}  // namespace

kppAggregator7::Entry::Entry(const uint64_t& flow_digest, const std::shared_ptr<kdFlow>& flow)
    : digest(flow_digest) {
  const bool a_opened = flow->origin == 1;
  client_mac = a_opened ? flow->mac_a : flow->mac_b;
  src_addr = a_opened ? flow->addr_a : flow->addr_b;
  dst_addr = a_opened ? flow->addr_b : flow->addr_a;
  nat_src_addr = flow->nat_addr;

  if (IsNat64(src_addr) || IsNat64(dst_addr) || IsNat64(nat_src_addr)) {
    family = "xlat";
    TranslateNat64(src_addr);
    TranslateNat64(dst_addr);
    TranslateNat64(nat_src_addr);
  } else if (kppIsIPv6(nat_src_addr) && kppIsIPv6(src_addr)) {
    family = "ipv6";
  } else if (kppIsIPv4(src_addr) && kppIsIPv4(nat_src_addr)) {
    family = "ipv4";
  } else {
    family = "unknown";
  }

  start_time = flow->first_seen_ms / 1000;
  if (flow->closed) {
    state = kClosed;
    stop_time = flow->last_seen_ms / 1000;
  } else {
    state = kNew;
  }
}

kppAggregator7::kppAggregator7(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow) {
  GetApMac(flow, ap_mac);
  Put(Entry(flow->flow_digest, flow));
  MakeKey(settings);
}

std::shared_ptr<kppAggregator> kppAggregator7::FromFlowEvent(const kppRecordSettings& settings,
                                                             const std::shared_ptr<kdFlow>& flow) {
  if (!flow || flow->nat_addr.GetFamily() == 0) return nullptr;
  return std::make_shared<kppAggregator7>(settings, flow);
}

void kppAggregator7::GetApMac(const std::shared_ptr<kdFlow>& flow, std::string& out) {
  std::string text = kNoMac;
  if (flow->iface) {
    const uint32_t capture_type = flow->iface->capture_type & ~1u;
    uint32_t index = kdInterface::kNoIndex;
    if (capture_type == kCaptureInterfaceIndex1 || capture_type == kCaptureInterfaceIndex2)
      index = flow->iface->index;
    else if (capture_type == kCaptureFlowIndex)
      index = flow->flow_ifindex;
    if (index != kdInterface::kNoIndex) {
      kdAddr link;
      if (kdInstance::GetInstance().addr_lookup.LookupLinkAddress(index, link))
        text = EthernetText(link);
    }
  }
  TransformMacAddr(text, out);
}

void kppAggregator7::TransformMacAddr(const std::string& in, std::string& out) {
  for (char c : in) {
    if (isxdigit(static_cast<unsigned char>(c))) out += c;
  }
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
}

void kppAggregator7::MakeKey(const kppRecordSettings& /*settings*/) {
  key = ap_mac;
}

void kppAggregator7::Put(const Entry& entry) {
  auto found = index_.find(entry.digest);
  if (found != index_.end()) {
    entries_[found->second] = entry;
    return;
  }
  index_.emplace(entry.digest, entries_.size());
  entries_.push_back(entry);
}

void kppAggregator7::Encode(json& record, const kppRecordSettings& /*settings*/) const {
  record["apMac"] = ap_mac;
  json flows;
  for (const Entry& entry : entries_) {
    json rec;
    std::string client;
    TransformMacAddr(EthernetText(entry.client_mac), client);
    rec["clientMac"] = client;
    std::string unique_id;
    kd_xxh64_to_string(entry.digest, unique_id);
    rec["uniqueId"] = unique_id;
    rec["family"] = entry.family;
    json& addresses = rec[entry.family];
    addresses["srcIp"] = entry.src_addr.GetString();
    addresses["dstIp"] = entry.dst_addr.GetString();
    addresses["natSrcIp"] = entry.nat_src_addr.GetString();
    addresses["srcPort"] = entry.src_addr.GetPort(true);
    addresses["dstPort"] = entry.dst_addr.GetPort(true);
    addresses["natSrcPort"] = entry.nat_src_addr.GetPort(true);
    rec["startTime"] = UtcText(entry.start_time);
    if (entry.state == Entry::kNew) {
      rec["state"] = "NEW";
    } else if (entry.state == Entry::kClosed) {
      rec["state"] = "CLOSE";
      rec["stopTime"] = UtcText(entry.stop_time);
    } else {
      rec["state"] = "UNKNOWN";
    }
    flows.push_back(std::move(rec));
  }
  record["flows"] = std::move(flows);
}

kppNestedPath kppAggregator7::NestedPath(const kppRecordSettings& /*settings*/) const {
  return kppNestedPath{ap_mac};
}

void kppAggregator7::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator7&>(other);
}

kppAggregator7& kppAggregator7::operator+=(const kppAggregator7& other) {
  for (const Entry& entry : other.entries_) Put(entry);
  return *this;
}
