#include "kpp_aggregator1.h"

#include "kpp_plugin.h"
#include "kpp_record.h"

using nlohmann::json;

namespace {

// Only 1 and 2 name a local endpoint; without one the local parts are empty.
bool HasLocal(const kdFlow& flow) { return flow.endpoint_map == 1 || flow.endpoint_map == 2; }

template <typename Address, typename Label>
void BuildKey(std::string& key, uint32_t flags, const Address& local_mac, const Address& local_ip,
              const Label& application, uint32_t protocol) {
  key.clear();
  if (!(flags & kppPlugin::FLAG_PRIVACY)) {
    kppAppendPart(key, local_mac);
    kppAppendPart(key, local_ip);
  }
  kppAppendPart(key, application);
  kppAppendDecimal(key, protocol);
}

}  // namespace

kppAggregator1::kppAggregator1(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppAggregator(plugin) {
  static const kdAddr kNone;
  protocol_id = flow->detected_protocol;
  packets = flow->packets_a + flow->packets_b;
  // The flow pass hands over no flow without a local endpoint.
  if (HasLocal(*flow)) {
    kppSides sides = kppSelectSides(*flow, flow->endpoint_map == 1);
    upload = sides.local.bytes;
    download = sides.other.bytes;
    SetText(*sides.local.mac, *sides.local.ip, kppFlowLabel{*flow});
  } else {
    SetText(kNone, kNone, kppFlowLabel{*flow});
  }
  // What MakeKey() would do, without writing the text a second time.
  PlaceKey();
}

template <typename Address, typename Label>
void kppAggregator1::SetText(const Address& mac, const Address& ip, const Label& application) {
  // Room for a MAC, an IPv4 address, a label and a protocol number at once: one allocation for
  // most samples rather than one per growth step and another to trim.
  constexpr size_t kUsualText = 63;
  std::string text;
  text.reserve(kUsualText);
  kppAppendPart(text, mac);
  const size_t mac_size = text.size();
  kppAppendPart(text, ip);
  const size_t ip_size = text.size() - mac_size;
  kppAppendPart(text, application);
  const size_t application_size = text.size() - mac_size - ip_size;
  kppAppendDecimal(text, protocol_id);
  key = std::move(text);
  const std::string_view all(key);
  local_mac = all.substr(0, mac_size);
  local_ip = all.substr(mac_size, ip_size);
  application_id = all.substr(mac_size + ip_size, application_size);
}

void kppAggregator1::PlaceKey() {
  const bool privacy = (plugin.GetFlags() & kppPlugin::FLAG_PRIVACY) != 0;
  key_start = privacy ? static_cast<uint32_t>(local_mac.size() + local_ip.size()) : 0;
}

void kppAggregator1::MakeKey() {
  SetText(local_mac, local_ip, application_id);
  PlaceKey();
}

void kppAggregator1::KeyFromFlow(const kdFlow& flow, uint32_t flags, std::string& key) {
  static const kdAddr kNone;
  if (HasLocal(flow)) {
    const kppSides sides = kppSelectSides(flow, flow.endpoint_map == 1);
    BuildKey(key, flags, *sides.local.mac, *sides.local.ip, kppFlowLabel{flow},
             flow.detected_protocol);
  } else {
    BuildKey(key, flags, kNone, kNone, kppFlowLabel{flow}, flow.detected_protocol);
  }
}

void kppAggregator1::AddFlow(const kdFlow& flow) {
  if (HasLocal(flow)) {
    const kppSides sides = kppSelectSides(flow, flow.endpoint_map == 1);
    upload += sides.local.bytes;
    download += sides.other.bytes;
  }
  packets += flow.packets_a + flow.packets_b;
}

void kppAggregator1::Encode(json& record) const {
  const uint32_t flags = plugin.GetFlags();
  record["download"] = download;
  record["packets"] = packets;
  record["upload"] = upload;
  if (flags & kppPlugin::FLAG_NESTED) return;
  record["application_id"] = application_id;
  record["protocol_id"] = protocol_id;
  if (flags & kppPlugin::FLAG_PRIVACY) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

bool kppAggregator1::Append(json& stats) const {
  json record;
  Encode(record);
  const uint32_t flags = plugin.GetFlags();
  if (!(flags & kppPlugin::FLAG_NESTED)) {
    kppAppendRow(stats, std::move(record));
    return true;
  }
  json* node = &stats;
  if (!(flags & kppPlugin::FLAG_PRIVACY)) {
    node = &kppNestedMember(*node, local_mac);
    node = &kppNestedMember(*node, local_ip);
  }
  node = &kppNestedMember(*node, application_id);
  node = &kppNestedMember(*node, std::to_string(protocol_id));
  kppPlaceLeaf(*node, std::move(record));
  return true;
}

void kppAggregator1::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator1&>(other);
}

kppAggregator1& kppAggregator1::operator+=(const kppAggregator1& other) {
  upload += other.upload;
  download += other.download;
  packets += other.packets;
  return *this;
}
