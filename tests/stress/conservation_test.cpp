// Conservation under concurrency: whatever the host threads deliver while the worker reports back
// to back and the configuration keeps changing, the payloads carry exactly the traffic the plugin
// accepted, no byte or packet lost or counted twice; and when the record type changes, exactly
// what the change discarded is missing.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "stress_run.h"

namespace stress {
namespace {

Traffic Of(const TypedTraffic& amounts, uint32_t type) {
  auto it = amounts.find(type);
  return it == amounts.end() ? Traffic() : it->second;
}

// Reported plus discarded equals delivered, for every type the ledger knows.
void ExpectConserved(const RunResult& result) {
  for (uint32_t type : kStressTypes) {
    Traffic accounted = Of(result.dispatched, type);
    accounted += Of(result.discarded, type);
    EXPECT_EQ(Describe(accounted), Describe(Of(result.delivered, type)))
        << "record type " << type << ": reported plus discarded (left) against counted (right)";
  }
}

void ExpectClean(const RunResult& result) {
  std::string faults;
  for (const std::string& fault : result.faults) faults += fault + "\n";
  EXPECT_TRUE(result.faults.empty()) << faults;
  EXPECT_EQ(result.unexpected_reload_failures, 0u);
  EXPECT_EQ(result.payload_failures, 0u);
  EXPECT_EQ(result.skipped_records, 0u);
  EXPECT_EQ(result.thread_deaths, 0u);
  // Samples went missing only where a switch accounted for them.
  EXPECT_EQ(result.clearing_lines, result.discards);
  EXPECT_GT(result.payloads, 0u);
}

void Summarise(const RunResult& result) {
  printf(
      "[ stress   ] %zu payloads (%zu nested), %zu reloads applied, %zu failed on %zu broken "
      "files, %zu type changes discarded samples\n",
      result.payloads, result.nested_payloads, result.reloads_applied, result.reload_failures,
      result.broken_files, result.discards);
}

class Conservation : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Conservation, PayloadsCarryExactlyWhatWasAccepted) {
  RunPlan plan;
  plan.phase_types = {GetParam()};
  RunResult result = RunStress(plan);
  ASSERT_TRUE(result.completed);
  Summarise(result);
  ExpectClean(result);
  EXPECT_EQ(result.discards, 0u);
  EXPECT_GT(Of(result.delivered, GetParam()).bytes, 0u);
  ExpectConserved(result);
}

INSTANTIATE_TEST_SUITE_P(RecordTypes, Conservation, ::testing::Values(1u, 2u, 5u, 8u),
                         [](const ::testing::TestParamInfo<uint32_t>& param) {
                           return "Type" + std::to_string(param.param);
                         });

// Phases 1, 2, 5, 8, 1: the changes 1 to 2 and 5 to 8 hold the worker and discard for certain;
// 2 to 5 and 8 to 1 race the worker and may discard their one flow.
TEST(ConservationAcrossTypeChanges, OnlyWhatATypeChangeDiscardsIsMissing) {
  RunPlan plan;
  plan.phase_types = {1, 2, 5, 8, 1};
  plan.snapshots = 400;
  plan.events = 1000;
  plan.reloads = 6;
  RunResult result = RunStress(plan);
  ASSERT_TRUE(result.completed);
  Summarise(result);
  ExpectClean(result);
  EXPECT_GE(result.discards, 2u);
  EXPECT_GT(Of(result.discarded, 1).bytes, 0u);
  EXPECT_GT(Of(result.discarded, 5).bytes, 0u);
  ExpectConserved(result);
}

// Type changes while the delivering threads go on: records built for the type being replaced are
// dropped and samples held at the change are discarded, so amounts can only be bounded; but no
// payload may ever carry records of two types, and no type may report more than was delivered.
TEST(ConservationAcrossTypeChanges, ChangesDuringDeliveryNeverMixTypes) {
  RunPlan plan;
  plan.phase_types = {1};
  plan.racing_types = {2, 5, 8, 1};
  plan.reloads = 24;
  RunResult result = RunStress(plan);
  ASSERT_TRUE(result.completed);
  Summarise(result);
  std::string faults;
  for (const std::string& fault : result.faults) faults += fault + "\n";
  EXPECT_TRUE(result.faults.empty()) << faults;
  EXPECT_EQ(result.unexpected_reload_failures, 0u);
  EXPECT_EQ(result.payload_failures, 0u);
  EXPECT_EQ(result.thread_deaths, 0u);
  for (uint32_t type : kStressTypes) {
    const Traffic reported = Of(result.dispatched, type);
    const Traffic offered = Of(result.offered, type);
    EXPECT_LE(reported.bytes, offered.bytes) << "record type " << type;
    EXPECT_LE(reported.packets, offered.packets) << "record type " << type;
    for (const auto& counter : reported.counters)
      EXPECT_LE(counter.second,
                offered.counters.count(counter.first) ? offered.counters.at(counter.first) : 0)
          << counter.first;
  }
}

}  // namespace
}  // namespace stress
