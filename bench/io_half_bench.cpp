// half_to_float against Imath's half-to-float and against memcpy of the float output (the
// bandwidth limit), in cache (32 Ki elements) and far beyond it (64 Mi elements).
#include <Imath/half.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "quarn/io/half.h"
#include "ratio_main.h"

namespace {

struct Arrays {
  std::vector<unsigned short> half;
  std::vector<float> out, copy;
  explicit Arrays(size_t n) : half(n), out(n), copy(n) {
    for (size_t i = 0; i < n; ++i)  // ordinary values, no NaN or infinity
      half[i] = static_cast<unsigned short>((i * 2654435761u >> 9) & 0x7BFF);
    std::memset(out.data(), 0, n * 4);  // touch every page before timing
    std::memset(copy.data(), 1, n * 4);
  }
};

Arrays& arrays(size_t n) {
  static Arrays small(32u << 10), large(64u << 20);
  return n == small.half.size() ? small : large;
}

// Times `convert` over the arrays of `state.range(0)` elements.
template <typename Convert>
void measure(benchmark::State& state, Convert convert) {
  auto& a = arrays(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    convert(a);
    benchmark::DoNotOptimize(a.out.data());
    benchmark::DoNotOptimize(a.copy.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * a.half.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * a.half.size() * sizeof(float)));
}

void BM_HalfToFloat(benchmark::State& state) {
  measure(state,
          [](Arrays& a) { qn::io::half_to_float(a.half.data(), a.out.data(), a.half.size()); });
}

void BM_HalfToFloatScalar(benchmark::State& state) {
  measure(state, [](Arrays& a) {
    qn::io::half_to_float_scalar(a.half.data(), a.out.data(), a.half.size());
  });
}

void BM_ImathHalfToFloat(benchmark::State& state) {
  measure(state, [](Arrays& a) {
    const unsigned short* src = a.half.data();
    float* dst = a.out.data();
    for (size_t i = 0, n = a.half.size(); i < n; ++i) dst[i] = imath_half_to_float(src[i]);
  });
}

void BM_MemcpyFloatOutput(benchmark::State& state) {
  measure(state, [](Arrays& a) {
    std::memcpy(a.copy.data(), a.out.data(), a.out.size() * sizeof(float));
  });
}

constexpr int64_t kSmall = 32 << 10, kLarge = 64 << 20;
BENCHMARK(BM_HalfToFloat)->Arg(kSmall)->Arg(kLarge)->UseRealTime();
BENCHMARK(BM_HalfToFloatScalar)->Arg(kSmall)->Arg(kLarge)->UseRealTime();
BENCHMARK(BM_ImathHalfToFloat)->Arg(kSmall)->Arg(kLarge)->UseRealTime();
BENCHMARK(BM_MemcpyFloatOutput)->Arg(kSmall)->Arg(kLarge)->UseRealTime();

}  // namespace

QN_BENCH_RATIO_MAIN({
    {"BM_HalfToFloat/32768/real_time", "BM_ImathHalfToFloat/32768/real_time",
     "32 Ki elements (in cache) vs Imath half->float"},
    {"BM_HalfToFloat/67108864/real_time", "BM_ImathHalfToFloat/67108864/real_time",
     "64 Mi elements vs Imath half->float"},
    {"BM_HalfToFloat/32768/real_time", "BM_MemcpyFloatOutput/32768/real_time",
     "32 Ki elements vs memcpy of the float output"},
    {"BM_HalfToFloat/67108864/real_time", "BM_MemcpyFloatOutput/67108864/real_time",
     "64 Mi elements vs memcpy of the float output"},
    {"BM_HalfToFloatScalar/32768/real_time", "BM_ImathHalfToFloat/32768/real_time",
     "scalar path, 32 Ki elements vs Imath half->float"},
})
