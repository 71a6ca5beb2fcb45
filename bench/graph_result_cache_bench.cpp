// ResultCache in its steady state against the textbook LRU cache (std::list + std::unordered_map),
// with every allocation counted: the "allocs/op" column must read 0 for the cache.
//
// One frame = a touch phase with three pinned lookups (two hits, one miss), a put of the new
// result with two resources (one shared with the previous frame), end_touch, and an evict down
// to the memory limit, which removes one old entry per frame. The peer does the same lookups,
// put and evict-one without pins, touch phases or shared resources.
#include <benchmark/benchmark.h>

#include <list>
#include <unordered_map>
#include <utility>

#include "cache_frames.h"
#include "counting_new.h"
#include "quarn/graph/result_cache.h"
#include "ratio_main.h"

namespace {

using qn_test::allocations;
using qn_test::CacheFrames;

constexpr int kWarmFrames = 5000;

class Lru {
 public:
  explicit Lru(std::size_t capacity) : capacity_(capacity) {}
  long get(long key) {
    auto it = map_.find(key);
    if (it == map_.end()) return -1;
    order_.splice(order_.end(), order_, it->second);
    return it->second->second;
  }
  void put(long key, long slot) {
    if (auto it = map_.find(key); it != map_.end()) {
      order_.erase(it->second);
      map_.erase(it);
    }
    order_.emplace_back(key, slot);
    map_[key] = std::prev(order_.end());
  }
  long evict_one() {
    if (map_.size() <= capacity_) return -1;
    const long slot = order_.front().second;
    map_.erase(order_.front().first);
    order_.pop_front();
    return slot;
  }

 private:
  using Order = std::list<std::pair<long, long>>;
  std::size_t capacity_;
  Order order_;
  std::unordered_map<long, Order::iterator> map_;
};

struct LruFrames {
  Lru lru{static_cast<std::size_t>(CacheFrames::kLimit / CacheFrames::kEntryBytes)};
  long frame = 0;
  void step() {
    benchmark::DoNotOptimize(lru.get(frame - 1));
    benchmark::DoNotOptimize(lru.get(frame - 2));
    benchmark::DoNotOptimize(lru.get(-1));
    lru.put(frame, frame);
    benchmark::DoNotOptimize(lru.evict_one());
    ++frame;
  }
};

template <class Frames>
void BM_Frame(benchmark::State& state) {
  Frames f;
  for (int i = 0; i < kWarmFrames; ++i) f.step();
  const long before = allocations();
  for (auto _ : state) f.step();
  state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(allocations() - before) /
                                                   static_cast<double>(state.iterations()));
}

// A pinned lookup that hits, alone (the schedule's per-node cost).
void BM_CacheGetPinned(benchmark::State& state) {
  CacheFrames f;
  for (int i = 0; i < kWarmFrames; ++i) f.step();
  const long before = allocations();
  long k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.cache.get(f.frame - 1 - (k & 63), true));
    ++k;
  }
  state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(allocations() - before) /
                                                   static_cast<double>(state.iterations()));
}

void BM_LruGet(benchmark::State& state) {
  LruFrames f;
  for (int i = 0; i < kWarmFrames; ++i) f.step();
  long k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.lru.get(f.frame - 1 - (k & 63)));
    ++k;
  }
}

BENCHMARK_TEMPLATE(BM_Frame, CacheFrames);
BENCHMARK_TEMPLATE(BM_Frame, LruFrames);
BENCHMARK(BM_CacheGetPinned);
BENCHMARK(BM_LruGet);

}  // namespace

QN_BENCH_RATIO_MAIN({{"BM_Frame<CacheFrames>", "BM_Frame<LruFrames>",
                      "frame (3 gets, put, end_touch, evict) vs list+unordered_map LRU"},
                     {"BM_CacheGetPinned", "BM_LruGet", "pinned get (hit) vs LRU get"}})
