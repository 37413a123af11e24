#include "kpp_record_factory.h"

#include "kpp_aggregator1.h"
#include "kpp_aggregator2.h"
#include "kpp_aggregator3.h"
#include "kpp_aggregator4.h"
#include "kpp_aggregator5.h"
#include "kpp_aggregator6.h"
#include "kpp_aggregator7.h"
#include "kpp_aggregator8.h"

std::shared_ptr<kppAggregator> kppMakeFlowRecord(uint32_t type, const kppPlugin& plugin,
                                                 const std::shared_ptr<kdFlow>& flow) {
  switch (type) {
    case kppAggregator1::kType:
      return std::make_shared<kppAggregator1>(plugin, flow);
    case kppAggregator2::kType:
      return std::make_shared<kppAggregator2>(plugin, flow);
    case kppAggregator3::kType:
      return std::make_shared<kppAggregator3>(plugin, flow);
    case kppAggregator4::kType:
      return std::make_shared<kppAggregator4>(plugin, flow);
    case kppAggregator6::kType:
      return std::make_shared<kppAggregator6>(plugin, flow);
    case kppAggregator8::kType:
      return std::make_shared<kppAggregator8>(plugin, flow);
    case kppAggregator5::kType:
      return std::make_shared<kppAggregator5>(plugin, flow);
    default:
      return nullptr;
  }
}

namespace {

template <typename Record>
void AddFlowTo(kppAggregator& sample, const kdFlow& flow) {
  static_cast<Record&>(sample).AddFlow(flow);
}

template <typename Record>
constexpr kppFlowIntake kIntake{&Record::KeyFromFlow, &AddFlowTo<Record>};

}  // namespace

const kppFlowIntake* kppFlowIntakeOf(uint32_t type) {
  switch (type) {
    case kppAggregator1::kType: return &kIntake<kppAggregator1>;
    case kppAggregator2::kType: return &kIntake<kppAggregator2>;
    case kppAggregator3::kType: return &kIntake<kppAggregator3>;
    case kppAggregator4::kType: return &kIntake<kppAggregator4>;
    case kppAggregator5::kType: return &kIntake<kppAggregator5>;
    case kppAggregator6::kType: return &kIntake<kppAggregator6>;
    case kppAggregator8::kType: return &kIntake<kppAggregator8>;
    default: return nullptr;
  }
}

std::shared_ptr<kppAggregator> kppMakeNatRecord(const kppPlugin& plugin,
                                                const std::shared_ptr<kdFlow>& flow) {
  return std::make_shared<kppAggregator7>(plugin, flow);
}

std::shared_ptr<kppAggregator> kppMakeStatsRecord(const kppPlugin& plugin, const std::string& iface,
                                                  const kdPacketStats& stats) {
  return std::make_shared<kppAggregator5>(plugin, iface, stats);
}
