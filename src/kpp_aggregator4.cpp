#include "kpp_aggregator4.h"

#include "kpp_plugin.h"
#include "kpp_record.h"

using nlohmann::json;

kppAggregator4::kppAggregator4(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppVlanPortRecord(plugin, *flow) {
  MakeKey();
}

void kppAggregator4::MakeKey() {
  key.clear();
  kppAppendDecimal(key, vlan_id);
  key += other_ip;
  kppAppendDecimal(key, other_port);
  kppAppendDecimal(key, application_id);
  kppAppendDecimal(key, protocol_id);
  if (plugin.GetFlags() & kppPlugin::FLAG_PRIVACY) return;
  key += local_mac;
  key += local_ip;
}

void kppAggregator4::Encode(json& record) const {
  EncodeShared(record);
}

void kppAggregator4::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator4&>(other);
}

kppAggregator4& kppAggregator4::operator+=(const kppAggregator4& other) {
  AddTraffic(other);
  return *this;
}
