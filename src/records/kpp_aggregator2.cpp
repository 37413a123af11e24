#include "kpp_aggregator2.h"

#include "kpp_flow_sides.h"
#include "kpp_record_key.h"

using nlohmann::json;

namespace {

template <typename Address, typename Label>
void BuildKey(std::string& key, const kppRecordSettings& settings, uint32_t ip_protocol,
              const Address& local_mac, const Address& local_ip, const Address& other_ip,
              const Label& application, uint32_t protocol) {
  key.clear();
  kppAppendKeyNumber(key, ip_protocol);
  if (!settings.privacy) {
    kppAppendKeyPart(key, local_mac);
    kppAppendKeyPart(key, local_ip);
  }
  kppAppendKeyPart(key, other_ip);
  kppAppendKeyPart(key, application);
  kppAppendKeyNumber(key, protocol);
}

}  // namespace

kppAggregator2::kppAggregator2(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow) {
  const kppSides sides = kppPeerSides(*flow);
  local_mac = kppAddressText(*sides.local.mac);
  local_ip = kppAddressText(*sides.local.ip);
  other_ip = kppAddressText(*sides.other.ip);
  application_id = kppApplicationLabel(*flow);
  protocol_id = flow->detected_protocol;
  ip_protocol = flow->ip_protocol;
  AddFlow(*flow);
  MakeKey(settings);
}

void kppAggregator2::MakeKey(const kppRecordSettings& settings) {
  BuildKey(key, settings, ip_protocol, local_mac, local_ip, other_ip, application_id, protocol_id);
}

void kppAggregator2::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                 std::string& key) {
  const kppSides sides = kppPeerSides(flow);
  BuildKey(key, settings, flow.ip_protocol, *sides.local.mac, *sides.local.ip, *sides.other.ip,
           kppFlowLabel{flow}, flow.detected_protocol);
}

void kppAggregator2::AddFlow(const kdFlow& flow) {
  const kppSides sides = kppPeerSides(flow);
  local_bytes += sides.local.bytes;
  other_bytes += sides.other.bytes;
  packets += flow.packets_a + flow.packets_b;
  digests.InsertLastOf(flow);
}

void kppAggregator2::Encode(json& record, const kppRecordSettings& settings) const {
  record["flow_count"] = digests.size();
  record["ip_protocol"] = ip_protocol;
  record["local_bytes"] = local_bytes;
  record["other_bytes"] = other_bytes;
  record["packets"] = packets;
  if (settings.nested) return;
  record["application_id"] = application_id;
  record["other_ip"] = other_ip;
  record["protocol_id"] = protocol_id;
  if (settings.privacy) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

kppNestedPath kppAggregator2::NestedPath(const kppRecordSettings& settings) const {
  kppNestedPath path;
  if (!settings.privacy) path = {local_mac, local_ip};
  path.Add(other_ip);
  path.Add(application_id);
  path.Add(kppNestedLevel::Number(protocol_id));
  return path;
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
