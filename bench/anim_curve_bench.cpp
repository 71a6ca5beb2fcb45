// Curve::value on a short and a long curve. The segment lookup is a bisection, so 1,000 times
// the keys should cost only a few more halving steps (log2 10,000 / log2 10 = 4) rather than
// 1,000 times the time. The peer is the 10-key curve; the printed ratio is its time over the
// 10,000-key curve's time, so it falls below 1 by the lookup's extra cost.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "quarn/anim/curve.h"
#include "ratio_main.h"

namespace {

qn::anim::Curve smooth_curve(int n) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-1, 1);
  std::vector<qn::anim::Key> keys;
  for (int i = 0; i < n; ++i)
    keys.push_back(qn::anim::Key{double(i), value(rng), qn::anim::KEY_SMOOTH});
  return qn::anim::Curve(std::move(keys), true);
}

void BM_CurveValue(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const qn::anim::Curve curve = smooth_curve(n);
  // Random times inside the key range, so every lookup walks the whole bisection and branch
  // prediction cannot learn the path.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> time(0, n - 1);
  std::vector<double> ts(4096);
  for (double& t : ts) t = time(rng);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(curve.value(ts[i]));
    i = (i + 1) & (ts.size() - 1);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CurveValue)->Arg(10)->Arg(10000);

}  // namespace

QN_BENCH_RATIO_MAIN({{"BM_CurveValue/10000", "BM_CurveValue/10",
                      "Curve::value, 10,000 keys (peer: the same curve with 10 keys)"}})
