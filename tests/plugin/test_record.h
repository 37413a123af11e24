// A record type of the tests' own, for exercising the aggregation contract without a real type.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "kpp_aggregator.h"
#include "kpp_plugin.h"

namespace testing_support {

class TestRecord : public kppAggregator {
 public:
  TestRecord(std::string name, uint32_t type, uint64_t count = 1)
      : name(std::move(name)), type(type), count(count) {
    MakeKey(kppRecordSettings());
  }
  void MakeKey(const kppRecordSettings& /*settings*/) override { key = name; }
  void Encode(nlohmann::json& record, const kppRecordSettings& /*settings*/) const override {
    record["name"] = name;
    record["count"] = count;
  }
  kppNestedPath NestedPath(const kppRecordSettings& /*settings*/) const override {
    return kppNestedPath{name};
  }
  uint32_t Type() const override { return type; }
  void MergeFrom(const kppAggregator& other) override {
    count += static_cast<const TestRecord&>(other).count;
  }

  std::string name;
  uint32_t type;
  uint64_t count;
};

// A record whose encoding fails, as a record with corrupt contents would.
class UnencodableRecord : public TestRecord {
 public:
  using TestRecord::TestRecord;
  void Encode(nlohmann::json& /*record*/, const kppRecordSettings& /*settings*/) const override {
    throw std::runtime_error("cannot encode");
  }
};

inline std::shared_ptr<TestRecord> Record(kppPlugin& plugin, const std::string& name,
                                          uint64_t count = 1) {
  return std::make_shared<TestRecord>(name, plugin.GetAggregator(), count);
}

}  // namespace testing_support
