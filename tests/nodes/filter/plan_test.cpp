#include "quarn/nodes/filter/plan.h"

#include <climits>
#include <functional>

#include "support/filter_fixture.h"
#include "support/gl_calls.h"

namespace filter = qn::nodes::filter;
using filter::Plan;
using filter::U;
using qn_test::make_tex;
using Bindings = std::vector<std::pair<std::string, int>>;

namespace {

using FilterPlan = qn_test::FilterTest;
constexpr std::uint64_t TEX_8x4 = 8 * 4 * 16;
filter::FilterStats& st() { return filter::stats(); }

// A "glow_prep.frag" pass from `src`, of `src`'s size unless `w` is given.
int prep(Plan& p, int src, int w = 0, int h = 0, Bindings more = {}) {
  return p.pass("glow_prep.frag", src, {U("u_tolerance", 0)}, std::move(more), w, h);
}

// input -> A -> B -> ...: `n` passes, each reading the one before; the last is the result.
int chain(Plan& p, int n, Bindings last = {}) {
  int src = 0;
  for (int i = 0; i < n; ++i) src = prep(p, src, 0, 0, i == n - 1 ? last : Bindings{});
  return src;
}

TEST_F(FilterPlan, UnusablePlansFailBeforeAnyGlCall) {
  const filter::Tex in = make_tex(8, 4), T = make_tex(8, 4),
                    wide{T.texture, T.framebuffer, 0, 9, 4};
  filter::program_set("unknown_to_gpu.frag", {987654, 1, GL_TRIANGLES, 3, {}});
  // clang-format off
  const std::tuple<const char*, int, std::function<int(Plan&)>, filter::Tex> cases[] = {
      {"result negative", -1, [](Plan&) { return -1; }, T},
      {"result past the images", -1, [](Plan& p) { return prep(p, 0) + 1; }, T},
      {"result is the input", 0, [](Plan& p) { return prep(p, 0), 0; }, T},
      {"result size differs", -1, [](Plan& p) { return prep(p, 0); }, wide},
      {"no program", -1, [](Plan& p) { return p.pass("nope.frag", 0, {}, {}, 0, 0); }, T},
      {"program unknown to the GPU layer", -1,
       [](Plan& p) { return p.pass("unknown_to_gpu.frag", 0, {}, {}, 0, 0); }, T},
      {"unknown uniform", -1,
       [](Plan& p) { return p.pass("glow_prep.frag", 0, {U("u_nope", 1)}, {}, 0, 0); }, T},
      {"source past the images", -1, [](Plan& p) { return prep(p, prep(p, 7), 8, 4); }, T},
      {"binding past the images", -1, [](Plan& p) { return prep(p, 0, 0, 0, {{"u_image", 5}}); }, T},
      {"negative binding", -1, [](Plan& p) { return prep(p, 0, 0, 0, {{"u_image", -3}}); }, T},
      {"scratch of width 0", -1, [](Plan& p) { return prep(p, prep(p, -1, 0, 4)); }, T},
      {"scratch of negative height", -1, [](Plan& p) { return prep(p, prep(p, 0, 8, -4), 8, 4); }, T},
      {"scratch bytes beyond 64 bits", -1,
       [](Plan& p) { return prep(p, prep(p, 0, INT_MAX, INT_MAX), 8, 4); }, T}};
  // clang-format on
  for (const auto& [what, code, build, to] : cases) {
    Plan plan({in});
    const int result = build(plan);
    const auto before = std::make_tuple(st().runs, st().created, st().bytes);
    qn_test::GlCallLog log;
    EXPECT_EQ(plan.run(result, to, 0), code) << what;
    EXPECT_EQ(log.size(), 0u) << what;
    EXPECT_EQ(std::make_tuple(st().runs, st().created, st().bytes), before) << what;
  }
}

TEST_F(FilterPlan, NoUsableContextGivesMinusTwoAndTrimOnlyRefreshes) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  Plan warm({in}), plan({in});
  ASSERT_EQ(warm.run(chain(warm, 3), target, 0), 1);  // leaves two 8x4 textures pooled
  st().bytes = 0;
  ASSERT_TRUE(qn_test::GlContext::release_current());
  const auto evicted = st().evicted, runs = st().runs;
  EXPECT_EQ(plan.run(chain(plan, 3), target, 0), -2);
  filter::scratch_trim(0);
  EXPECT_EQ(std::make_tuple(st().evicted, st().runs, st().bytes),
            std::make_tuple(evicted, runs, 2 * TEX_8x4));  // bytes refreshed all the same
  ASSERT_TRUE(shared_context().make_current());
  filter::scratch_trim(0);
  EXPECT_EQ(std::make_pair(st().evicted, st().bytes),
            std::make_pair(evicted + 2, std::uint64_t{0}));
}

TEST_F(FilterPlan, SameSizeChainPingPongsAndReleasesAfterLastUse) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  const auto before = std::make_tuple(st().created, st().reused, st().runs, st().draws);
  qn_test::PassLog log;
  Plan plan({in});
  ASSERT_EQ(plan.run(chain(plan, 4), target, 0), 1);
  ASSERT_EQ(log.draws.size(), 4u);
  auto fbo = [&](int i) { return log.draws[i].fbo; };
  auto read = [&](int i) { return log.draws[i].units.at(0).first; };
  // Written: A, B, A, target; read: input, A, B, A.
  EXPECT_TRUE(fbo(2) == fbo(0) && fbo(1) != fbo(0) && fbo(3) == target.framebuffer);
  EXPECT_TRUE(read(0) == in.texture && read(3) == read(1) && read(2) != read(1));
  for (const auto& p : plan.images()) EXPECT_TRUE(p.kind != Plan::Scratch || !p.tex.texture);
  EXPECT_EQ(plan.images()[4].kind, Plan::Output);
  const auto [created, reused, runs, draws] = before;
  EXPECT_EQ(std::make_tuple(st().created - created, st().reused - reused, st().bytes,
                            st().runs - runs, st().draws - draws),
            std::make_tuple(2u, 1u, 2 * TEX_8x4, 1u, 4u));
  // Warm pool: nothing created. A binding to a sampler the program lacks keeps nothing alive.
  Plan again({in}), other({make_tex(1, 3)});
  ASSERT_EQ(again.run(chain(again, 3, {{"u_not_a_sampler", 1}}), target, 0), 1);
  EXPECT_EQ(st().created, created + 2);
  // Only an exact size is reused: 1x3 images get textures of their own.
  ASSERT_EQ(other.run(chain(other, 3), make_tex(1, 3), 0), 1);
  EXPECT_EQ(st().created, created + 4);
}

TEST_F(FilterPlan, CapAppliesAtTheEndOfEveryRunAndPeakRemembers) {
  const filter::Tex in = make_tex(1920, 1080), target = make_tex(1920, 1080);
  const std::uint64_t big = 1920ull * 1080 * 16;
  st().peak = 0;
  for (std::uint64_t cap : {std::uint64_t{0}, std::uint64_t{0}, big, 4 * big}) {
    filter::scratch_cap(cap);
    const auto created = st().created, evicted = st().evicted;
    Plan plan({in});
    ASSERT_EQ(plan.run(chain(plan, 3), target, 0), 1);
    EXPECT_EQ(st().bytes, std::min(cap, 2 * big)) << cap;
    EXPECT_EQ(st().peak, std::min(cap, 2 * big)) << cap;  // counted after the cap
    // With no room every run creates its textures anew and deletes them.
    EXPECT_TRUE(cap || (st().created == created + 2 && st().evicted == evicted + 2));
  }
  filter::scratch_cap(filter::DEFAULT_SCRATCH_CAP);
  filter::scratch_trim(0);
  EXPECT_EQ(std::make_pair(st().bytes, st().peak), std::make_pair(std::uint64_t{0}, 2 * big));
}

TEST_F(FilterPlan, UniformsSamplersAndUnitsAsResolved) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  const filter::Prog prep_prog = *filter::program_get("glow_prep.frag");
  filter::Prog wide = prep_prog;  // seventeen samplers of one name on units 0..16
  wide.samplers.clear();
  for (int unit = 0; unit < 17; ++unit) wide.samplers.emplace_back("u_image", unit);
  filter::program_set("wide.frag", wide);
  const int location = qn::gpu::uniform_info(prep_prog.program, "u_tolerance")->location;
  qn::gpu::program_add(prep_prog.program, "u_matrix", {location, 5, 1});  // accepts 9 floats
  Plan warm({in}), plan({in});
  ASSERT_EQ(warm.run(chain(warm, 3), target, 0), 1);
  filter::scratch_sampler(77);  // reaches the two pooled textures
  qn_test::PassLog log;
  qn_test::GlCallLog calls;
  const filter::Uni nine{"u_matrix", 9, {1, 2, 3, 4}}, none{"u_tolerance", -1, {5}};
  const int a =
      plan.pass("glow_prep.frag", 0, {nine, none, filter::U2("u_tolerance", 1, 2)}, {}, 0, 0);
  ASSERT_EQ(plan.run(plan.pass("wide.frag", a, {U("u_tolerance", 0.5)}, {}, 0, 0), target, 0), 1);
  qn::gpu::program_add(prep_prog.program, "u_matrix", {-1, 7, 1});
  filter::scratch_sampler(0);
  ASSERT_EQ(log.draws.size(), 2u);
  EXPECT_TRUE(log.draws[0].uniform("u_tolerance").empty());  // no value was accepted
  EXPECT_EQ(std::count(calls.calls.begin(), calls.calls.end(), "ProgramUniformMatrix3fv"), 0);
  EXPECT_EQ(log.draws[1].uniform("u_tolerance"), std::vector<float>{0.5f});
  EXPECT_EQ(log.draws[1].units.size(), 16u);
  EXPECT_EQ(log.draws[1].units.at(15).second, 77u);  // a pooled texture, now with the sampler
  EXPECT_EQ(log.draws[0].units.at(0).second, 0u);    // the input's own
}

}  // namespace
