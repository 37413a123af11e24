// A record type of the tests' own, for exercising the aggregation contract without a real type.
#pragma once

#include <memory>
#include <string>

#include "kpp_aggregator.h"
#include "kpp_plugin.h"

namespace testing_support {

class TestRecord : public kppAggregator {
 public:
  TestRecord(const kppPlugin& plugin, std::string name, uint32_t type, uint64_t count = 1)
      : kppAggregator(plugin), name(std::move(name)), type(type), count(count) {
    MakeKey();
  }
  void MakeKey() override { key = name; }
  bool Append(nlohmann::json& stats) const override {
    nlohmann::json record;
    Encode(record);
    if (plugin.GetFlags() & kppPlugin::FLAG_NESTED) {
      stats[name] = record;
    } else {
      stats.push_back(record);
    }
    return true;
  }
  void Encode(nlohmann::json& record) const override {
    record["name"] = name;
    record["count"] = count;
  }
  uint32_t Type() const override { return type; }
  void MergeFrom(const kppAggregator& other) override {
    count += static_cast<const TestRecord&>(other).count;
  }

  std::string name;
  uint32_t type;
  uint64_t count;
};

inline std::shared_ptr<TestRecord> Record(kppPlugin& plugin, const std::string& name,
                                          uint64_t count = 1) {
  return std::make_shared<TestRecord>(plugin, name, plugin.GetAggregator(), count);
}

}  // namespace testing_support
