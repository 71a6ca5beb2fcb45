// The cache's steady state must not touch the heap: this program counts every operator new.
#include <gtest/gtest.h>

#include "quarn/graph/result_cache.h"
#include "support/cache_frames.h"
#include "support/counting_new.h"

namespace {

using qn_test::allocations;
using qn_test::CacheFrames;

TEST(ResultCacheAllocations, SteadyStateAllocatesNothing) {
  CacheFrames f;
  for (int i = 0; i < 2000; ++i) f.step();  // reach the working size
  const long before = allocations(), evicted_before = f.evicted;
  for (int i = 0; i < 20000; ++i) f.step();
  EXPECT_EQ(allocations() - before, 0);
  EXPECT_GT(f.evicted - evicted_before, 19000);
  EXPECT_GT(f.cache.index.size(), 200u);
  EXPECT_LE(f.cache.totals[0], CacheFrames::kLimit);
  EXPECT_GT(f.hits, 2 * 21000);
}

TEST(ResultCacheAllocations, ByValueEvictAllocatesOnlyForWhatItReturns) {
  CacheFrames f;
  for (int i = 0; i < 2000; ++i) f.step();
  long before = allocations();
  EXPECT_TRUE(f.cache.evict(1L << 40, 1L << 40).empty());
  EXPECT_EQ(allocations() - before, 0);
  before = allocations();
  EXPECT_FALSE(f.cache.evict(0, 1L << 40).empty());
  EXPECT_GE(allocations() - before, 1);
}

}  // namespace
