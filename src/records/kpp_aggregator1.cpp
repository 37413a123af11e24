#include "kpp_aggregator1.h"

#include "kpp_flow_sides.h"
#include "kpp_record_key.h"

using nlohmann::json;

namespace {

// Only 1 and 2 name a local endpoint; without one the local parts are empty.
bool HasLocal(const kdFlow& flow) {
  return flow.endpoint_map == 1 || flow.endpoint_map == 2;
}

template <typename Address, typename Label>
void BuildKey(std::string& key, const kppRecordSettings& settings, const Address& local_mac,
              const Address& local_ip, const Label& application, uint32_t protocol) {
  key.clear();
  if (!settings.privacy) {
    kppAppendKeyPart(key, local_mac);
    kppAppendKeyPart(key, local_ip);
  }
  kppAppendKeyPart(key, application);
  kppAppendKeyNumber(key, protocol);
}

// Calls use(local MAC, local IP) with the flow's local addresses, or empty ones.
template <typename Use>
void WithLocal(const kdFlow& flow, Use&& use) {
  static const kdAddr kNone;
  if (HasLocal(flow)) {
    const kppSides sides = kppSelectSides(flow, flow.endpoint_map == 1);
    use(*sides.local.mac, *sides.local.ip);
  } else {
    use(kNone, kNone);
  }
}

}  // namespace

kppAggregator1::kppAggregator1(const kppRecordSettings& settings,
                               const std::shared_ptr<kdFlow>& flow) {
  protocol_id = flow->detected_protocol;
  AddFlow(*flow);
  // What MakeKey() does, without writing the text a second time. The flow pass hands over no
  // flow without a local endpoint.
  WithLocal(*flow, [&](const kdAddr& mac, const kdAddr& ip) {
    SetText(mac, ip, kppFlowLabel{*flow}, settings);
  });
}

template <typename Address, typename Label>
void kppAggregator1::SetText(const Address& mac, const Address& ip, const Label& application,
                             const kppRecordSettings& settings) {
  // Room for a MAC, an IPv4 address, a label and a protocol number with their lengths at once:
  // one allocation for most samples rather than one per growth step and another to trim.
  constexpr size_t kUsualText = 63;
  std::string text;
  text.reserve(kUsualText);
  const size_t mac_size = kppAppendKeyPart(text, mac);
  const size_t ip_start = text.size();
  const size_t ip_size = kppAppendKeyPart(text, ip);
  const size_t application_start = text.size();
  const size_t application_size = kppAppendKeyPart(text, application);
  kppAppendKeyNumber(text, protocol_id);
  key = std::move(text);
  const std::string_view all(key);
  local_mac = all.substr(0, mac_size);
  local_ip = all.substr(ip_start, ip_size);
  application_id = all.substr(application_start, application_size);
  key_start = settings.privacy ? static_cast<uint32_t>(application_start) : 0;
}

void kppAggregator1::MakeKey(const kppRecordSettings& settings) {
  SetText(local_mac, local_ip, application_id, settings);
}

void kppAggregator1::KeyFromFlow(const kdFlow& flow, const kppRecordSettings& settings,
                                 std::string& key) {
  WithLocal(flow, [&](const kdAddr& mac, const kdAddr& ip) {
    BuildKey(key, settings, mac, ip, kppFlowLabel{flow}, flow.detected_protocol);
  });
}

void kppAggregator1::AddFlow(const kdFlow& flow) {
  if (HasLocal(flow)) {
    const kppSides sides = kppSelectSides(flow, flow.endpoint_map == 1);
    upload += sides.local.bytes;
    download += sides.other.bytes;
  }
  packets += flow.packets_a + flow.packets_b;
}

void kppAggregator1::Encode(json& record, const kppRecordSettings& settings) const {
  record["download"] = download;
  record["packets"] = packets;
  record["upload"] = upload;
  if (settings.nested) return;
  record["application_id"] = application_id;
  record["protocol_id"] = protocol_id;
  if (settings.privacy) return;
  record["local_ip"] = local_ip;
  record["local_mac"] = local_mac;
}

kppNestedPath kppAggregator1::NestedPath(const kppRecordSettings& settings) const {
  kppNestedPath path;
  if (!settings.privacy) path = {local_mac, local_ip};
  path.Add(application_id);
  path.Add(kppNestedLevel::Number(protocol_id));
  return path;
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
