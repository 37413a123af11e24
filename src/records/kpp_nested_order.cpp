#include "kpp_nested_order.h"

#include <algorithm>

kppNestedOrder::kppNestedOrder(const kppSampleTable::Records& records,
                               const kppRecordSettings& settings) {
  starts_.reserve(records.size() + 1);
  starts_.push_back(0);
  for (const auto& record : records) {
    record->NestedPath(settings).AppendOrderKey(keys_);
    starts_.push_back(keys_.size());
  }
  order_.resize(records.size());
  for (uint32_t i = 0; i < order_.size(); ++i) order_[i] = i;
  std::sort(order_.begin(), order_.end(), [this](uint32_t a, uint32_t b) {
    const int compared = Key(a).compare(Key(b));
    return compared != 0 ? compared < 0 : a < b;
  });
}
