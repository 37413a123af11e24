// The digest set of types 2, 3 and 6: order of first insertion, no repeats, on either side of the
// size at which it starts keeping a hash set beside its list.
#include <gtest/gtest.h>

#include <vector>

#include "kpp_digest_set.h"

namespace {

TEST(DigestSet, KeepsFirstInsertionOrderWithoutRepeatsAtAnySize) {
  kppDigestSet set;
  std::vector<uint64_t> expected;
  const size_t count = kppDigestSet::kIndexedFrom * 3;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t digest = (i * 0x9e3779b97f4a7c15ULL) | 1;
    set.Insert(digest);
    expected.push_back(digest);
    // Every digest so far again, the newest first: none may be added twice.
    for (size_t j = expected.size(); j-- > 0;) set.Insert(expected[j]);
    ASSERT_EQ(set.values(), expected) << "after " << i + 1;
  }
  set.Insert(0);
  EXPECT_EQ(set.size(), count + 1);
  EXPECT_EQ(set.values().back(), 0u);
}

TEST(DigestSet, MergeAddsOnlyUnseenDigestsInTheirOrder) {
  kppDigestSet a, b;
  for (uint64_t d : {5, 3, 9}) a.Insert(d);
  for (uint64_t i = 0; i < kppDigestSet::kIndexedFrom + 4; ++i) b.Insert(100 + i);
  b.Insert(3);
  a.Merge(b);
  std::vector<uint64_t> expected = {5, 3, 9};
  for (uint64_t i = 0; i < kppDigestSet::kIndexedFrom + 4; ++i) expected.push_back(100 + i);
  EXPECT_EQ(a.values(), expected);
  b.Merge(a);
  EXPECT_EQ(b.size(), expected.size());
}

}  // namespace
