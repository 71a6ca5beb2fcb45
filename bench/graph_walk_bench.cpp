// Walk over 1M nodes, in ns per node: (a) nothing changed, against a plain pass over one byte per
// node (the floor for any walk that has to look at every node); (b) the top node of a 1M chain
// changed and every key changes, so every node is asked, against a plain loop that calls the
// same callback once per node.
#include <benchmark/benchmark.h>

#include <functional>
#include <optional>
#include <vector>

#include "quarn/graph/walk.h"
#include "ratio_main.h"

namespace {

using qn::graph::Walk;
constexpr int kNodes = 1'000'000;

// A graph shaped like a compositing tree: each node reads the previous one and, every fourth
// node, one a little further back.
Walk tree() {
  std::vector<std::vector<int>> ups(kNodes);
  for (int i = 1; i < kNodes; ++i) {
    ups[static_cast<std::size_t>(i)] = {i - 1};
    if (i % 4 == 0 && i >= 16) ups[static_cast<std::size_t>(i)].push_back(i - 16);
  }
  Walk w;
  w.build(std::move(ups), std::vector<unsigned char>(kNodes, 0), std::vector<long>(kNodes, 1));
  return w;
}

Walk chain() {
  std::vector<std::vector<int>> ups(kNodes);
  for (int i = 1; i < kNodes; ++i) ups[static_cast<std::size_t>(i)] = {i - 1};
  Walk w;
  w.build(std::move(ups), std::vector<unsigned char>(kNodes, 0), std::vector<long>(kNodes, 0));
  return w;
}

void per_node(benchmark::State& state) {
  state.counters["s/node"] = benchmark::Counter(
      static_cast<double>(kNodes),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_WalkUnchanged(benchmark::State& state) {
  Walk w = tree();
  const std::function<std::optional<long>(int, bool)> fn = [](int, bool) {
    return std::optional<long>();
  };
  const std::vector<int> dirty;
  for (auto _ : state) benchmark::DoNotOptimize(w.walk(dirty, false, fn));
  per_node(state);
}

void BM_PlainPassOverFlags(benchmark::State& state) {
  const std::vector<unsigned char> flags(kNodes, 0);
  for (auto _ : state) {
    int count = 0;
    for (unsigned char f : flags) count += f != 0;
    benchmark::DoNotOptimize(count);
  }
  per_node(state);
}

// Every call returns a key it has never returned before, so the change runs down the chain.
void BM_WalkChainTopChanged(benchmark::State& state) {
  Walk w = chain();
  long stamp = 0;
  const std::function<std::optional<long>(int, bool)> fn = [&](int, bool) {
    return std::optional<long>(++stamp);
  };
  const std::vector<int> dirty{0};
  for (auto _ : state) {
    if (w.walk(dirty, false, fn) != kNodes) state.SkipWithError("not every node was asked");
  }
  per_node(state);
}

void BM_PlainCallbackLoop(benchmark::State& state) {
  long stamp = 0;
  const std::function<std::optional<long>(int, bool)> fn = [&](int, bool) {
    return std::optional<long>(++stamp);
  };
  std::vector<long> keys(kNodes, 0);
  for (auto _ : state) {
    for (int i = 0; i < kNodes; ++i) keys[static_cast<std::size_t>(i)] = *fn(i, true);
    benchmark::DoNotOptimize(keys.data());
  }
  per_node(state);
}

BENCHMARK(BM_WalkUnchanged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainPassOverFlags)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WalkChainTopChanged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainCallbackLoop)->Unit(benchmark::kMicrosecond);

}  // namespace

QN_BENCH_RATIO_MAIN({{"BM_WalkUnchanged", "BM_PlainPassOverFlags",
                      "1M nodes unchanged vs a plain pass"},
                     {"BM_WalkChainTopChanged", "BM_PlainCallbackLoop",
                      "1M chain, top changed vs calling the callback per node"}})
