// A full-screen pass (the uniform probe shader: six uniforms of every size, six outputs) drawn
// 1,000 times on llvmpipe with unchanged uniforms, against the same pass with the registry's
// memory defeated (`uniform_forget(program, -1)` before every draw, so every uniform reaches GL
// each time). One iteration = 1,000 draws and a glFinish. Counters: GL calls per draw (counted
// beforehand through forwarding wrappers), ns per draw (wall clock, rasterization included) and
// the GL thread's CPU time per draw while submitting.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "quarn/gpu/draw.h"
#include "quarn/gpu/gl.h"
#include "ratio_main.h"
#include "support/gl_api.h"

namespace gpu = qn::gpu;
using qn_test::gl;

namespace {

constexpr int DRAWS = 1000;

// GL-thread CPU time spent submitting the draws (the calling thread only: llvmpipe rasterizes
// on threads of its own), per draw, by [registry defeated][target size].
std::map<std::int64_t, double> g_submit_ns[2];

double thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// The context, program, geometry and target of the pass, made once.
struct Pass {
  qn_test::GlContext context;
  GLuint program = 0;
  std::optional<qn_test::FullScreenTriangle> triangle;
  std::optional<qn_test::FloatTarget> target;
  std::vector<gpu::Pending> uniforms;
  int size = 0;
  std::string error;

  explicit Pass(int target_size) : size(target_size) {
    std::string err;
    if (!context.error().empty() || !context.make_current() || !gpu::gl::load(&err)) {
      error = context.error().empty() ? "cannot make the context current: " + err : context.error();
      return;
    }
    program = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                    qn_test::UNIFORM_PROBE_SHADER, &err);
    if (!program) {
      error = err;
      return;
    }
    triangle.emplace();
    target.emplace(size, size, 6);
    const struct {
      const char* name;
      int count;
    } declared[] = {{"u1", 1}, {"u2", 2}, {"u3", 3}, {"u4", 4}, {"m3", 9}, {"m4", 16}};
    for (const auto& d : declared) {
      gpu::Pending p{gl().GetUniformLocation(program, d.name), d.count, {}};
      for (int i = 0; i < d.count; ++i) p.values[i] = 0.01f * static_cast<float>(i + 1);
      uniforms.push_back(p);
    }
  }

  void draw() const {
    gpu::draw(target->fbo(), size, size, program, uniforms.data(),
              static_cast<int>(uniforms.size()), nullptr, 0, triangle->vao(), GL_TRIANGLES, 3, 0);
  }
};

Pass* pass_for(int size) {
  static std::unique_ptr<Pass> pass;
  if (!pass || pass->size != size) {
    pass.reset();
    pass = std::make_unique<Pass>(size);
  }
  return pass.get();
}

template <bool FORGET>
void run(benchmark::State& state) {
  if (!qn_test::egl_unavailable().empty()) {
    state.SkipWithError(("no EGL display: " + qn_test::egl_unavailable()).c_str());
    return;
  }
  Pass* pass = pass_for(static_cast<int>(state.range(0)));
  if (!pass->error.empty()) {
    state.SkipWithError(pass->error.c_str());
    return;
  }
  auto one = [&] {
    if (FORGET) gpu::uniform_forget(pass->program, -1);
    pass->draw();
  };
  one();  // the first draw uploads everything in both cases
  std::size_t calls = 0;
  {
    qn_test::GlCallLog log;
    for (int i = 0; i < DRAWS; ++i) one();
    calls = log.calls.size();
  }
  gl().Finish();
  double thread_cpu = 0;
  for (auto _ : state) {
    double start = thread_cpu_ns();
    for (int i = 0; i < DRAWS; ++i) one();
    thread_cpu += thread_cpu_ns() - start;
    gl().Finish();
  }
  double draws = static_cast<double>(DRAWS) * static_cast<double>(state.iterations());
  g_submit_ns[FORGET][state.range(0)] = thread_cpu / draws;
  state.counters["gl_calls_per_draw"] = static_cast<double>(calls) / DRAWS;
  state.counters["submit_ns_per_draw"] = thread_cpu / draws;
  state.counters["ns_per_draw"] =
      benchmark::Counter(draws, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PassUnchangedUniforms(benchmark::State& state) { run<false>(state); }
void BM_PassForgottenUniforms(benchmark::State& state) { run<true>(state); }

BENCHMARK(BM_PassUnchangedUniforms)
    ->Arg(16)
    ->Arg(128)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PassForgottenUniforms)
    ->Arg(16)
    ->Arg(128)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  int rc = qn_bench::run_with_ratios(
      argc, argv,
      {{"BM_PassUnchangedUniforms/16/real_time", "BM_PassForgottenUniforms/16/real_time",
        "1000 passes 16x16, unchanged uniforms vs registry defeated"},
       {"BM_PassUnchangedUniforms/128/real_time", "BM_PassForgottenUniforms/128/real_time",
        "1000 passes 128x128, unchanged uniforms vs registry defeated"}});
  for (const auto& [size, ours] : g_submit_ns[0]) {
    auto peer = g_submit_ns[1].find(size);
    if (peer == g_submit_ns[1].end() || ours <= 0) continue;
    std::printf("  %-58s %10.2fx  (%.0f ns vs %.0f ns per draw)\n",
                ("GL-thread submit time, " + std::to_string(size) + "x" + std::to_string(size) +
                 ", unchanged vs defeated")
                    .c_str(),
                peer->second / ours, ours, peer->second);
  }
  return rc;
}
