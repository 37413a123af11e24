#include "kpp_aggregator1.h"

#include "kpp_plugin.h"
#include "kpp_record.h"

using nlohmann::json;

kppAggregator1::kppAggregator1(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppAggregator(plugin) {
  // Only 1 and 2 name a local endpoint; the flow pass hands over no other flow.
  if (flow->endpoint_map == 1 || flow->endpoint_map == 2) {
    kppSides sides = kppSelectSides(*flow, flow->endpoint_map == 1);
    local_mac = kppAddressText(*sides.local.mac);
    local_ip = kppAddressText(*sides.local.ip);
    upload = sides.local.bytes;
    download = sides.other.bytes;
  }
  application_id = kppApplicationLabel(*flow);
  protocol_id = flow->detected_protocol;
  packets = flow->packets_a + flow->packets_b;
  MakeKey();
}

void kppAggregator1::MakeKey() {
  key.clear();
  if (!(plugin.GetFlags() & kppPlugin::FLAG_PRIVACY)) {
    key += local_mac;
    key += local_ip;
  }
  key += application_id;
  kppAppendDecimal(key, protocol_id);
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
