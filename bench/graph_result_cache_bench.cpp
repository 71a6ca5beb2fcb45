// ResultCache in its steady state against the textbook LRU cache (std::list + std::unordered_map),
// with every allocation counted: the "allocs/op" column must read 0 for the cache.
//
// One frame = a touch phase with three pinned lookups (two hits, one miss), a put of the new
// result with two resources (one shared with the previous frame), end_touch, and an evict down
// to the memory limit, which removes one old entry per frame. The peer does the same lookups,
// put and evict-one without pins, touch phases or shared resources.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <list>
#include <new>
#include <unordered_map>
#include <vector>

#include "quarn/graph/result_cache.h"
#include "ratio_main.h"

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

constexpr long kEntryBytes = 4096;
constexpr long kLimit = 256 * kEntryBytes;
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

struct CacheFrames {
  ResultCache cache;
  std::vector<long> keep{0, 0};
  std::vector<CachePopped> popped;
  std::pair<long, long> refs[2];
  long frame = 0;

  void step() {
    cache.touching = true;
    benchmark::DoNotOptimize(cache.get(frame - 1, true));
    benchmark::DoNotOptimize(cache.get(frame - 2, true));
    benchmark::DoNotOptimize(cache.get(-1, true));
    refs[0] = {frame, kEntryBytes};
    refs[1] = {1'000'000'000 + frame / 2, 64};
    cache.put(frame, frame, refs, 2, false, 0.0, true);
    keep[0] = frame;
    keep[1] = frame - 1;
    cache.end_touch(keep);
    cache.evict(kLimit, kLimit, popped);
    ++frame;
  }
};

struct LruFrames {
  Lru lru{256};
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
  const long before = g_allocations.load();
  for (auto _ : state) f.step();
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

// A pinned lookup that hits, alone (the schedule's per-node cost).
void BM_CacheGetPinned(benchmark::State& state) {
  CacheFrames f;
  for (int i = 0; i < kWarmFrames; ++i) f.step();
  const long before = g_allocations.load();
  long k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.cache.get(f.frame - 1 - (k & 63), true));
    ++k;
  }
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
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

int main(int argc, char** argv) {
  return qn_bench::run_with_ratios(
      argc, argv,
      {{"BM_Frame<CacheFrames>", "BM_Frame<LruFrames>",
        "frame (3 gets, put, end_touch, evict) vs list+unordered_map LRU"},
       {"BM_CacheGetPinned", "BM_LruGet", "pinned get (hit) vs LRU get"}});
}
