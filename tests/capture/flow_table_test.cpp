#include "kd_flow_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

// Random inserts and erases against a plain map, with digests bunched so that probe runs wrap
// around the index and cross each other: every flow stays findable under its digest, and
// erased ones are gone.
TEST(FlowTable, AgreesWithAMapThroughInsertsAndErases) {
  kdFlowTable table;
  std::map<uint64_t, uint32_t> expected;  // digest -> packets_a
  std::mt19937_64 random(3);
  for (int step = 0; step < 200000; ++step) {
    const uint64_t digest =
        random() % 4 == 0 ? (random() % 64) | (uint64_t{1} << 40) | 1023 : random() % 50000;
    if (random() % 3 != 0) {
      if (table.Find(digest) != nullptr) continue;
      kdTrackedFlow& flow = table.Insert(digest);
      flow.packets_a = static_cast<uint32_t>(step);
      expected[digest] = flow.packets_a;
    } else if (table.size() > 0) {
      const size_t position = random() % table.size();
      expected.erase(table.at(position).digest);
      table.EraseAt(position);
    }
    if (step % 5000 == 0) {
      ASSERT_EQ(table.size(), expected.size());
      for (const auto& entry : expected) {
        const kdTrackedFlow* flow = table.Find(entry.first);
        ASSERT_NE(flow, nullptr) << entry.first;
        EXPECT_EQ(flow->packets_a, entry.second);
      }
    }
  }
  while (table.size() > 0) {
    expected.erase(table.at(0).digest);
    table.EraseAt(0);
  }
  EXPECT_TRUE(expected.empty());
  EXPECT_EQ(table.Find(1), nullptr);
  EXPECT_EQ(table.MemoryBytes(), 0u);  // an emptied table gives its memory back
}

}  // namespace
