// The cache's steady state must not touch the heap. This executable replaces the global
// operator new to count allocations between two points of a test.
#include "quarn/graph/result_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using qn::graph::CachePopped;
using qn::graph::ResultCache;

// One frame of a host that renders a new result every frame: open a touch phase, look up what
// the request needs (pinning it, one key absent), store the new result with two resources (one
// shared with the previous frame), close the phase and evict down to a limit.
struct Frames {
  ResultCache cache;
  std::vector<long> keep{0, 0};
  std::vector<CachePopped> popped;
  std::pair<long, long> refs[2];
  long frame = 0;
  long evicted = 0;

  void step() {
    cache.touching = true;
    cache.get(frame - 1, true);
    cache.get(frame - 2, true);
    cache.get(-1, true);
    refs[0] = {frame, 4096};
    refs[1] = {1'000'000 + frame / 2, 1024};
    cache.put(frame, frame, refs, 2, false, 0.5, true);
    keep[0] = frame;
    keep[1] = frame - 1;
    cache.end_touch(keep);
    cache.evict(64 * 4096, 8 * 4096, popped);
    evicted += static_cast<long>(popped.size());
    ++frame;
  }
};

TEST(ResultCacheAllocations, SteadyStateAllocatesNothing) {
  Frames f;
  for (int i = 0; i < 2000; ++i) f.step();  // reach the working size
  const long before = g_allocations.load(), evicted_before = f.evicted;
  for (int i = 0; i < 20000; ++i) f.step();
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_GT(f.evicted - evicted_before, 19000);
  EXPECT_GT(f.cache.index.size(), 32u);
  EXPECT_LE(f.cache.totals[0], 64 * 4096);
}

TEST(ResultCacheAllocations, ByValueEvictAllocatesOnlyForWhatItReturns) {
  Frames f;
  for (int i = 0; i < 2000; ++i) f.step();
  long before = g_allocations.load();
  EXPECT_TRUE(f.cache.evict(1L << 40, 1L << 40).empty());
  EXPECT_EQ(g_allocations.load() - before, 0);
  before = g_allocations.load();
  EXPECT_FALSE(f.cache.evict(0, 1L << 40).empty());
  EXPECT_GE(g_allocations.load() - before, 1);
}

}  // namespace
