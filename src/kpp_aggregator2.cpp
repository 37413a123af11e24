#include "kpp_aggregator2.h"

#include "kpp_plugin.h"

using nlohmann::json;

namespace {

template <typename Address, typename Label>
void BuildKey(std::string& key, uint32_t flags, uint32_t ip_protocol, const Address& local_mac,
              const Address& local_ip, const Address& other_ip, const Label& application,
              uint32_t protocol) {
  key.clear();
  kppAppendDecimal(key, ip_protocol);
  if (!(flags & kppPlugin::FLAG_PRIVACY)) {
    kppAppendPart(key, local_mac);
    kppAppendPart(key, local_ip);
  }
  kppAppendPart(key, other_ip);
  kppAppendPart(key, application);
  kppAppendDecimal(key, protocol);
}

}  // namespace

kppAggregator2::kppAggregator2(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppAggregator(plugin) {
  const kppSides sides = kppPeerSides(*flow);
  local_mac = kppAddressText(*sides.local.mac);
  local_ip = kppAddressText(*sides.local.ip);
  other_ip = kppAddressText(*sides.other.ip);
  local_bytes = sides.local.bytes;
  other_bytes = sides.other.bytes;
  packets = flow->packets_a + flow->packets_b;
  application_id = kppApplicationLabel(*flow);
  protocol_id = flow->detected_protocol;
  ip_protocol = flow->ip_protocol;
  digests.InsertLastOf(*flow);
  MakeKey();
}

void kppAggregator2::MakeKey() {
  BuildKey(key, plugin.GetFlags(), ip_protocol, local_mac, local_ip, other_ip, application_id,
           protocol_id);
}

void kppAggregator2::KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildKey(key, flags, flow.ip_protocol, *sides.local.mac, *sides.local.ip, *sides.other.ip,
           kppFlowLabel{flow}, flow.detected_protocol);
}

void kppAggregator2::AddFlow(const kdFlow& flow) {
  const kppSides sides = kppPeerSides(flow);
  local_bytes += sides.local.bytes;
  other_bytes += sides.other.bytes;
  packets += flow.packets_a + flow.packets_b;
  digests.InsertLastOf(flow);
}

void kppAggregator2::Encode(json& record) const {
  const uint32_t flags = plugin.GetFlags();
  record["flow_count"] = digests.size();
  record["ip_protocol"] = ip_protocol;
  record["local_bytes"] = local_bytes;
  record["other_bytes"] = other_bytes;
  record["packets"] = packets;
  if (flags & kppPlugin::FLAG_NESTED) return;
  record["application_id"] = application_id;
  record["other_ip"] = other_ip;
  record["protocol_id"] = protocol_id;
  if (flags & kppPlugin::FLAG_PRIVACY) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

bool kppAggregator2::Append(json& stats) const {
  json record;
  Encode(record);
  const uint32_t flags = plugin.GetFlags();
  if (!(flags & kppPlugin::FLAG_NESTED)) {
    kppAppendRow(stats, std::move(record));
    return true;
  }
  const std::string protocol = std::to_string(protocol_id);
  kppNestedPath path;
  if (!(flags & kppPlugin::FLAG_PRIVACY)) path = {local_mac, local_ip};
  for (const std::string* level : {&other_ip, &application_id, &protocol}) path.Add(*level);
  return kppPlaceNested(stats, path, std::move(record));
}

void kppAggregator2::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator2&>(other);
}

kppAggregator2& kppAggregator2::operator+=(const kppAggregator2& other) {
  local_bytes += other.local_bytes;
  other_bytes += other.other_bytes;
  packets += other.packets;
  digests.Merge(other.digests);
  return *this;
}
