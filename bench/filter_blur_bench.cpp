// The filter passes on llvmpipe, with the reference shaders of shaders/ registered through the
// host helper.
//
// 1. "blur" of a 1920x1080 RGBA float image at size 100 (box filter): at full resolution
//    (limit 0: two passes of 101 taps over 2M pixels) against reduced resolution (limit 25:
//    cells of 4x4, two passes of 25 taps over 480x270, plus downrez and uprez). Counter
//    `scratch_bytes`: what the pool holds after a run (the default cap keeps everything).
// 2. A chain of eight same-size passes (512x512 and 64x64) with a warm pool against the cap at
//    0 (every run creates its textures anew). Counter `created_per_run`.
// One iteration = one run and a glFinish.
#include <benchmark/benchmark.h>

#include <memory>

#include "host/host.h"
#include "quarn/gpu/gl.h"
#include "quarn/nodes/filter/ops.h"
#include "quarn/nodes/filter/plan.h"
#include "quarn/nodes/filter/scratch.h"
#include "ratio_main.h"
#include "support/gl_api.h"

namespace filter = qn::nodes::filter;
using qn_host::gl;

namespace {

struct Setup {
  qn_test::GlContext context;
  std::unique_ptr<qn_host::FullScreenTriangle> triangle;
  std::string error;

  Setup() {
    std::string err;
    if (!context.error().empty() || !context.make_current() || !qn::gpu::gl::load(&err)) {
      error = context.error().empty() ? "cannot make the context current: " + err : context.error();
      return;
    }
    triangle = std::make_unique<qn_host::FullScreenTriangle>();
    for (const char* op : {"blur", "glow"})
      for (const auto& name : filter::op_frags(op))
        if (!qn_host::register_filter_file(QUARN_SHADER_DIR, name, triangle->vao(), &err)) {
          error = name + ": " + err;
          return;
        }
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

filter::Tex make_tex(int w, int h) {
  filter::Tex t{0, 0, 0, w, h};
  gl().CreateTextures(GL_TEXTURE_2D, 1, &t.texture);
  gl().TextureStorage2D(t.texture, 1, GL_RGBA32F, w, h);
  const float grey[4] = {0.5f, 0.25f, 0.125f, 1.0f};
  gl().CreateFramebuffers(1, &t.framebuffer);
  gl().NamedFramebufferTexture(t.framebuffer, GL_COLOR_ATTACHMENT0, t.texture, 0);
  gl().ClearNamedFramebufferfv(t.framebuffer, GL_COLOR, 0, grey);
  return t;
}

bool ready(benchmark::State& state) {
  if (!setup().error.empty()) state.SkipWithError(setup().error.c_str());
  return setup().error.empty();
}

void BM_Blur100(benchmark::State& state) {
  if (!ready(state)) return;
  const double limit = static_cast<double>(state.range(0));
  static const filter::Tex in = make_tex(1920, 1080), target = make_tex(1920, 1080);
  const std::vector<double> params = {100, 100, 0, limit, 0, 0, 1920, 1080};
  filter::scratch_cap(filter::DEFAULT_SCRATCH_CAP);
  filter::scratch_trim(0);
  for (auto _ : state) {
    if (filter::run_op("blur", {in}, params, target, 0) != 1) state.SkipWithError("blur failed");
    gl().Finish();
  }
  state.counters["scratch_bytes"] = static_cast<double>(filter::stats().bytes);
}

void BM_SameSizeChain(benchmark::State& state) {
  if (!ready(state)) return;
  const bool warm = state.range(0) != 0;
  const int size = static_cast<int>(state.range(1));
  const filter::Tex in = make_tex(size, size), target = make_tex(size, size);
  filter::scratch_cap(warm ? filter::DEFAULT_SCRATCH_CAP : 0);
  filter::scratch_trim(0);
  auto run = [&] {
    filter::Plan plan({in});
    int src = 0;
    for (int i = 0; i < 8; ++i)
      src = plan.pass("glow_prep.frag", src, {filter::U("u_tolerance", 0.01 * i)}, {}, 0, 0);
    if (plan.run(src, target, 0) != 1) state.SkipWithError("chain failed");
    gl().Finish();
  };
  run();  // fills the pool (when warm) and lets the driver compile the shader once
  const auto created = filter::stats().created;
  for (auto _ : state) run();
  state.counters["created_per_run"] = static_cast<double>(filter::stats().created - created) /
                                      static_cast<double>(state.iterations());
  filter::scratch_cap(filter::DEFAULT_SCRATCH_CAP);
  for (const filter::Tex& t : {in, target}) {
    gl().DeleteFramebuffers(1, &t.framebuffer);
    gl().DeleteTextures(1, &t.texture);
  }
}

BENCHMARK(BM_Blur100)->Arg(0)->Arg(25)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_SameSizeChain)
    ->Args({1, 512})
    ->Args({0, 512})
    ->Args({1, 64})
    ->Args({0, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1);

}  // namespace

QN_BENCH_RATIO_MAIN({{"BM_Blur100/25/min_time:2.000/real_time",
                      "BM_Blur100/0/min_time:2.000/real_time",
                      "blur 100 of 1920x1080, limit 25 vs limit 0"},
                     {"BM_SameSizeChain/1/512/min_time:1.000/real_time",
                      "BM_SameSizeChain/0/512/min_time:1.000/real_time",
                      "8 same-size passes 512x512, warm pool vs cap 0"},
                     {"BM_SameSizeChain/1/64/min_time:1.000/real_time",
                      "BM_SameSizeChain/0/64/min_time:1.000/real_time",
                      "8 same-size passes 64x64, warm pool vs cap 0"}})
