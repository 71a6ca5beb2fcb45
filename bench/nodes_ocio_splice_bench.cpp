// OCIO shader preparation on a large generated fragment: ~200 KB of GLSL with 400 3D-LUT
// lookups, spliced into a template and patched (`splice` + `patch_lut3d`), against the loop a
// host would write with std::string::find and an in-place std::string::replace (each replace
// moves the whole tail, so that loop is quadratic in the lookup count).
//
// Both sides allocate strings of 200-400 KB per iteration. glibc would hand those out as fresh
// mappings or trim them back to the kernel, and on this VM the page faults then cost more than
// the work on either side; main() keeps such blocks on the heap for both, so that the figures
// compare the text work.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>

#include "quarn/nodes/ocio/splice.h"
#include "ratio_main.h"

namespace {

const std::string SAMPLER = "ocio_lut3d_0Sampler";

struct Texts {
  std::string base, fragment;
  Texts() {
    base = "#version 450 core\nuniform float exposure;\n//@OCIO\nvoid main() {}\n";
    for (int i = 0; i < 400; ++i) {
      fragment += "  vec3 c" + std::to_string(i) + " = texture(" + SAMPLER + ", coords).rgb;\n";
      for (int k = 0; k < 6; ++k)
        fragment += "  outColor.rgb = outColor.rgb * vec3(1.0001, 0.9999, 1.0) + 0.0001;  // pad\n";
    }
  }
};
const Texts& texts() {
  static const Texts t;
  return t;
}

void BM_SpliceAndPatch(benchmark::State& state) {
  const Texts& t = texts();
  for (auto _ : state) {
    std::string s = qn::nodes::ocio::splice(t.base, t.fragment);
    benchmark::DoNotOptimize(qn::nodes::ocio::patch_lut3d(s, SAMPLER));
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.fragment.size()));
}
BENCHMARK(BM_SpliceAndPatch);

void BM_NaiveFindReplace(benchmark::State& state) {
  const Texts& t = texts();
  const std::string marker = "\n//@OCIO\n", from = "texture(" + SAMPLER + ", ",
                    to = "qn_lut3d_trilinear(" + SAMPLER + ", ";
  for (auto _ : state) {
    std::string s = t.base;
    for (std::size_t p = 0; (p = s.find(marker, p)) != std::string::npos;) {
      s.replace(p, marker.size(), "\n" + t.fragment + "\n");
      p += t.fragment.size() + 2;
    }
    for (std::size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
      s.replace(p, from.size(), to);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.fragment.size()));
}
BENCHMARK(BM_NaiveFindReplace);

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  return qn_bench::run_with_ratios(
      argc, argv,
      {{"BM_SpliceAndPatch", "BM_NaiveFindReplace",
        "splice + patch_lut3d, 200 KB / 400 lookups (peer: find + in-place replace loop)"}});
}
