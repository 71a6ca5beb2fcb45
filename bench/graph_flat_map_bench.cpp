// FlatMap<int> against std::unordered_map<long, int> and absl::flat_hash_map<long, int> with
// random int64 keys at 1k, 100k and 1M entries: insert (fill an empty map and drop it), find
// hit, find miss, and a steady erase + insert that keeps the size constant.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "quarn/graph/flat_map.h"
#include "ratio_main.h"

namespace {

using qn::graph::FlatMap;

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::vector<long> random_keys(std::size_t n, std::uint64_t seed) {
  std::vector<long> k(n);
  for (long& x : k) x = static_cast<long>(splitmix(seed));
  return k;
}

// One small adapter per map so that every benchmark body is written once.
struct Ours {
  using Map = FlatMap<int>;
  static void put(Map& m, long k, int v) { *m.insert(k).first = v; }
  static const int* get(const Map& m, long k) { return m.find(k); }
  static void drop(Map& m, long k) { m.erase(k); }
};
// std::unordered_map and absl::flat_hash_map share one interface.
template <class M>
struct Peer {
  using Map = M;
  static void put(Map& m, long k, int v) { m[k] = v; }
  static const int* get(const Map& m, long k) {
    auto it = m.find(k);
    return it == m.end() ? nullptr : &it->second;
  }
  static void drop(Map& m, long k) { m.erase(k); }
};
struct Std : Peer<std::unordered_map<long, int>> {};
struct Absl : Peer<absl::flat_hash_map<long, int>> {};

template <class A>
typename A::Map filled(const std::vector<long>& keys) {
  typename A::Map m;
  for (std::size_t i = 0; i < keys.size(); ++i) A::put(m, keys[i], static_cast<int>(i));
  return m;
}

template <class A>
void BM_Insert(benchmark::State& state) {
  const auto keys = random_keys(static_cast<std::size_t>(state.range(0)), 1);
  for (auto _ : state) {
    typename A::Map m = filled<A>(keys);
    benchmark::DoNotOptimize(A::get(m, keys[0]));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One lookup per iteration; `probe` walks a shuffled list of keys.
template <class A>
void find_loop(benchmark::State& state, bool hit) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const auto keys = random_keys(n, 1);
  const typename A::Map m = filled<A>(keys);
  std::vector<long> probe = hit ? keys : random_keys(n, 2);
  std::shuffle(probe.begin(), probe.end(), std::mt19937_64(3));
  std::size_t i = 0;
  long found = 0;
  for (auto _ : state) {
    found += A::get(m, probe[i]) != nullptr;
    if (++i == n) i = 0;
  }
  benchmark::DoNotOptimize(found);
  if (hit != (found == static_cast<long>(state.iterations()))) state.SkipWithError("wrong answers");
  state.SetItemsProcessed(state.iterations());
}

template <class A>
void BM_FindHit(benchmark::State& state) {
  find_loop<A>(state, true);
}
template <class A>
void BM_FindMiss(benchmark::State& state) {
  find_loop<A>(state, false);
}

// Erase one present key and insert a fresh one per iteration: the size never changes.
template <class A>
void BM_EraseInsert(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  auto live = random_keys(n, 1);
  typename A::Map m = filled<A>(live);
  std::uint64_t seed = 99;
  std::size_t i = 0;
  for (auto _ : state) {
    A::drop(m, live[i]);
    live[i] = static_cast<long>(splitmix(seed));
    A::put(m, live[i], 1);
    if (++i == n) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

#define QN_FLAT_MAP_BENCH(op)                                         \
  BENCHMARK_TEMPLATE(op, Ours)->Arg(1000)->Arg(100000)->Arg(1000000); \
  BENCHMARK_TEMPLATE(op, Std)->Arg(1000)->Arg(100000)->Arg(1000000);  \
  BENCHMARK_TEMPLATE(op, Absl)->Arg(1000)->Arg(100000)->Arg(1000000)

QN_FLAT_MAP_BENCH(BM_Insert);
QN_FLAT_MAP_BENCH(BM_FindHit);
QN_FLAT_MAP_BENCH(BM_FindMiss);
QN_FLAT_MAP_BENCH(BM_EraseInsert);

std::vector<qn_bench::Ratio> ratios() {
  std::vector<qn_bench::Ratio> out;
  const std::pair<const char*, const char*> ops[] = {{"BM_Insert", "insert"},
                                                     {"BM_FindHit", "find hit"},
                                                     {"BM_FindMiss", "find miss"},
                                                     {"BM_EraseInsert", "erase+insert"}};
  const std::pair<const char*, const char*> sizes[] = {
      {"1000", "1k"}, {"100000", "100k"}, {"1000000", "1M"}};
  for (const auto& [op, what] : ops)
    for (const auto& [arg, size] : sizes)
      for (const auto& [peer, name] :
           {std::pair{"Std", "std::unordered_map"}, std::pair{"Absl", "absl::flat_hash_map"}})
        out.push_back({std::string(op) + "<Ours>/" + arg, std::string(op) + "<" + peer + ">/" + arg,
                       std::string(what) + " " + size + " vs " + name});
  return out;
}

}  // namespace

QN_BENCH_RATIO_MAIN(ratios())
