#include "kpp_record_types.h"

#include "kpp_aggregator1.h"
#include "kpp_aggregator2.h"
#include "kpp_aggregator3.h"
#include "kpp_aggregator4.h"
#include "kpp_aggregator5.h"
#include "kpp_aggregator6.h"
#include "kpp_aggregator7.h"
#include "kpp_aggregator8.h"

namespace {

template <typename Record>
std::shared_ptr<kppAggregator> FromFlow(const kppRecordSettings& settings,
                                        const std::shared_ptr<kdFlow>& flow) {
  return std::make_shared<Record>(settings, flow);
}

template <typename Record>
void AddFlowTo(kppAggregator& sample, const kdFlow& flow) {
  static_cast<Record&>(sample).AddFlow(flow);
}

template <typename Record>
std::shared_ptr<kppAggregator> FromStats(const kppRecordSettings& settings,
                                         const std::string& iface, const kdPacketStats& stats) {
  return std::make_shared<Record>(settings, iface, stats);
}

// The entry of a type fed by flow-map snapshots.
template <typename Record>
constexpr kppRecordType FlowType(bool needs_local_endpoint) {
  return kppRecordType{Record::kType,
                       kppRecordRowsOf(Record::kType),
                       &FromFlow<Record>,
                       &Record::KeyFromFlow,
                       &AddFlowTo<Record>,
                       needs_local_endpoint,
                       nullptr,
                       nullptr,
                       false};
}

kppRecordType StatsType() {
  kppRecordType type = FlowType<kppAggregator5>(false);
  type.from_stats_event = &FromStats<kppAggregator5>;
  return type;
}

constexpr kppRecordType kNatType{kppAggregator7::kType,
                                 kppRecordRowsOf(kppAggregator7::kType),
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 false,
                                 &kppAggregator7::FromFlowEvent,
                                 nullptr,
                                 true};

const kppRecordType kTypes[] = {
    FlowType<kppAggregator1>(true),
    FlowType<kppAggregator2>(false),
    FlowType<kppAggregator3>(false),
    FlowType<kppAggregator4>(false),
    StatsType(),
    FlowType<kppAggregator6>(false),
    kNatType,
    FlowType<kppAggregator8>(false),
};

}  // namespace

const kppRecordType* kppRecordTypeOf(uint32_t number) {
  // The table lists the types in order from 1: the flow pass looks a type up for every flow.
  constexpr uint32_t kCount = sizeof(kTypes) / sizeof(kTypes[0]);
  if (number == 0 || number > kCount) return nullptr;
  return &kTypes[number - 1];
}
