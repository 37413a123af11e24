#include "kpp_aggregator8.h"

#include "kpp_plugin.h"

using nlohmann::json;

kppAggregator8::kppAggregator8(const kppPlugin& plugin, const std::shared_ptr<kdFlow>& flow)
    : kppVlanPortRecord(plugin, *flow) {
  hostname = flow->preferred_host_name.empty() ? flow->host_name : flow->preferred_host_name;
  MakeKey();
}

void kppAggregator8::MakeKey() {
  auto join = [this](const std::string& part) {
    key += ':';
    key += part;
  };
  key = std::to_string(vlan_id);
  join(other_ip);
  join(std::to_string(other_port));
  join(std::to_string(application_id));
  join(std::to_string(protocol_id));
  join(hostname);
  if (plugin.GetFlags() & kppPlugin::FLAG_PRIVACY) return;
  join(local_mac);
  join(local_ip);
}

void kppAggregator8::Encode(json& record) const {
  EncodeShared(record);
  if (!(plugin.GetFlags() & kppPlugin::FLAG_NESTED)) record["hostname"] = hostname;
}

void kppAggregator8::MergeFrom(const kppAggregator& other) {
  *this += static_cast<const kppAggregator8&>(other);
}

kppAggregator8& kppAggregator8::operator+=(const kppAggregator8& other) {
  AddTraffic(other);
  return *this;
}
