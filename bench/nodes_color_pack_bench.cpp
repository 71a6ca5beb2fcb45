// `pack` of a 20-uniform colour spec (knob components, inputs, constants and gates), per call
// and with the allocations it makes, against what a host would otherwise write: the same
// uniforms built by knob name from a hash map into a fresh std::vector of records.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "counting_new.h"
#include "quarn/gpu/program_registry.h"
#include "quarn/nodes/color/pack.h"
#include "ratio_main.h"

namespace color = qn::nodes::color;

namespace {

// 10 knobs of 1 to 4 components; 20 uniforms of 1 to 4 sources mixing the four kinds.
color::Spec spec20() {
  color::Spec spec;
  for (int k = 0; k < 10; ++k) {
    const int n = 1 + k % 4;
    spec.knobs.push_back({std::to_string(k), n, std::vector<float>(n, 0.5f)});
  }
  for (int u = 0; u < 20; ++u) {
    color::Uniform uniform{std::to_string(u), {}};
    const int k = u % 10, n = 1 + k % 4;
    for (int c = 0; c < n; ++c) {
      switch ((u + c) % 4) {
        case 0:
          uniform.sources.push_back({0, k, c, 0});
          break;
        case 1:
          uniform.sources.push_back({1, c, 0, 0});
          break;
        case 2:
          uniform.sources.push_back({2, 0, 0, 1.5f});
          break;
        default:
          uniform.sources.push_back({3, k, (k + 1) % 10, 0});
      }
    }
    spec.uniforms.push_back(std::move(uniform));
  }
  if (!spec.finish(nullptr)) std::abort();
  return spec;
}

void report_allocations(benchmark::State& state, long before) {
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(qn_test::allocations() - before) /
                         static_cast<double>(state.iterations()));
}

void BM_Pack20(benchmark::State& state) {
  const color::Spec spec = spec20();
  std::vector<float> knobs(static_cast<std::size_t>(spec.knob_floats), 0.25f), inputs(64, 2.0f);
  std::vector<color::Packed> out(spec.uniforms.size(), color::Packed{0, 0, {}});
  const long before = qn_test::allocations();
  for (auto _ : state) {
    color::pack(spec, knobs.data(), inputs.data(), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  report_allocations(state, before);
}
BENCHMARK(BM_Pack20);

void BM_PackByName20(benchmark::State& state) {
  const color::Spec spec = spec20();
  std::unordered_map<std::string, std::vector<float>> knobs;
  for (const auto& k : spec.knobs) knobs[k.name] = std::vector<float>(k.components, 0.25f);
  const std::vector<float> inputs(64, 2.0f);
  const long before = qn_test::allocations();
  for (auto _ : state) {
    std::vector<qn::gpu::Pending> out;
    for (std::size_t i = 0; i < spec.uniforms.size(); ++i) {
      qn::gpu::Pending p{static_cast<int>(i), 0, {}};
      for (const color::Source& s : spec.uniforms[i].sources) {
        float v = 0;
        if (s.kind == 0)
          v = knobs.at(spec.knobs[s.index].name)[s.component];
        else if (s.kind == 1)
          v = inputs[s.index];
        else if (s.kind == 2)
          v = s.constant;
        else if (s.kind == 3 && knobs.at(spec.knobs[s.index].name)[0] != 0)
          v = knobs.at(spec.knobs[s.component].name)[0];
        p.values[p.count++] = v;
      }
      out.push_back(p);
    }
    benchmark::DoNotOptimize(out.data());
  }
  report_allocations(state, before);
}
BENCHMARK(BM_PackByName20);

}  // namespace

QN_BENCH_RATIO_MAIN({{"BM_Pack20", "BM_PackByName20",
                      "pack, 20 uniforms (peer: the same values by knob name into a new vector)"}})
