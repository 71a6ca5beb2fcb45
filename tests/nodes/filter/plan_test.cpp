#include "quarn/nodes/filter/plan.h"

#include <climits>
#include <functional>

#include "support/filter_fixture.h"
#include "support/gl_calls.h"

namespace filter = qn::nodes::filter;
using filter::Plan;
using filter::U;
using qn_test::make_tex;
using qn_test::PassLog;

namespace {

class FilterPlan : public qn_test::FilterTest {
 protected:
  void TearDown() override {
    filter::scratch_cap(filter::DEFAULT_SCRATCH_CAP);
    filter::scratch_sampler(0);
    filter::scratch_trim(0);
  }
  // input -> A -> B -> ... (`n` passes of "glow_prep.frag", each reading the one before).
  static Plan chain(const filter::Tex& in, int n,
                    std::vector<std::pair<std::string, int>> extra = {}) {
    Plan plan({in});
    int src = 0;
    for (int i = 0; i < n; ++i)
      src = plan.pass("glow_prep.frag", src, {U("u_tolerance", 0)},
                      i == n - 1 ? extra : std::vector<std::pair<std::string, int>>{}, 0, 0);
    return plan;
  }
};

const std::uint64_t TEX_8x4 = 8 * 4 * 16;

TEST_F(FilterPlan, UnusablePlansFailBeforeAnyGlCall) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  filter::program_set("unknown_to_gpu.frag", {987654, 1, GL_TRIANGLES, 3, {}});
  struct Case {
    const char* what;
    int code;
    std::function<int(Plan&)> build;  // adds passes, returns the result index
    filter::Tex target;
  };
  const filter::Tex wide{target.texture, target.framebuffer, 0, 9, 4};
  auto prep = [](Plan& p, int src, int w = 0, int h = 0) {
    return p.pass("glow_prep.frag", src, {U("u_tolerance", 0)}, {}, w, h);
  };
  const Case cases[] = {
      {"result negative", -1, [](Plan&) { return -1; }, target},
      {"result past the images", -1, [&](Plan& p) { return prep(p, 0) + 1; }, target},
      {"result is the input", 0, [&](Plan& p) { return prep(p, 0), 0; }, target},
      {"result size differs", -1, [&](Plan& p) { return prep(p, 0); }, wide},
      {"no program", -1, [](Plan& p) { return p.pass("nope.frag", 0, {}, {}, 0, 0); }, target},
      {"program unknown to the GPU layer", -1,
       [](Plan& p) { return p.pass("unknown_to_gpu.frag", 0, {}, {}, 0, 0); }, target},
      {"unknown uniform", -1,
       [](Plan& p) { return p.pass("glow_prep.frag", 0, {U("u_nope", 1)}, {}, 0, 0); }, target},
      {"source past the images", -1, [&](Plan& p) { return prep(p, 7, 8, 4); }, target},
      {"binding past the images", -1,
       [](Plan& p) {
         return p.pass("glow_prep.frag", 0, {U("u_tolerance", 0)}, {{"u_image", 5}}, 0, 0);
       },
       target},
      {"negative binding", -1,
       [](Plan& p) {
         return p.pass("glow_prep.frag", 0, {U("u_tolerance", 0)}, {{"u_image", -3}}, 0, 0);
       },
       target},
      {"scratch of width 0", -1, [&](Plan& p) { return prep(p, prep(p, -1, 0, 4)); }, target},
      {"scratch of negative height", -1, [&](Plan& p) { return prep(p, prep(p, 0, 8, -4), 8, 4); },
       target},
      {"scratch bytes beyond 64 bits", -1,
       [&](Plan& p) { return prep(p, prep(p, 0, INT_MAX, INT_MAX), 8, 4); }, target},
  };
  for (const Case& c : cases) {
    Plan plan({in});
    const int result = c.build(plan);
    const filter::FilterStats before = filter::stats();
    qn_test::GlCallLog log;
    EXPECT_EQ(plan.run(result, c.target, 0), c.code) << c.what;
    EXPECT_EQ(log.size(), 0u) << c.what;
    EXPECT_EQ(filter::stats().runs, before.runs) << c.what;
    EXPECT_EQ(filter::stats().created, before.created) << c.what;
    EXPECT_EQ(filter::stats().bytes, before.bytes) << c.what;
  }
}

TEST_F(FilterPlan, NoUsableContextGivesMinusTwoAndTrimOnlyRefreshes) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  Plan warm = chain(in, 3);
  ASSERT_EQ(warm.run(3, target, 0), 1);  // leaves two 8x4 textures pooled
  ASSERT_EQ(filter::stats().bytes, 2 * TEX_8x4);
  filter::stats().bytes = 0;
  ASSERT_TRUE(qn_test::GlContext::release_current());
  Plan plan = chain(in, 3);
  const auto evicted = filter::stats().evicted;
  EXPECT_EQ(plan.run(3, target, 0), -2);
  filter::scratch_trim(0);
  EXPECT_EQ(filter::stats().evicted, evicted);
  EXPECT_EQ(filter::stats().bytes, 2 * TEX_8x4);  // refreshed all the same
  ASSERT_TRUE(shared_context().make_current());
  filter::scratch_trim(0);
  EXPECT_EQ(filter::stats().evicted, evicted + 2);
  EXPECT_EQ(filter::stats().bytes, 0u);
}

TEST_F(FilterPlan, SameSizeChainPingPongsBetweenTwoTexturesAndReleasesAfterLastUse) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  filter::scratch_trim(0);
  auto created = filter::stats().created, reused = filter::stats().reused;
  {
    PassLog log;
    Plan plan = chain(in, 4);
    ASSERT_EQ(plan.run(4, target, 0), 1);
    ASSERT_EQ(log.draws.size(), 4u);
    // A, B, A again; the last pass draws into the target.
    EXPECT_EQ(log.draws[2].fbo, log.draws[0].fbo);
    EXPECT_NE(log.draws[1].fbo, log.draws[0].fbo);
    EXPECT_EQ(log.draws[3].fbo, target.framebuffer);
    // Each pass reads the texture the one before it drew.
    EXPECT_EQ(log.draws[0].units.at(0).first, in.texture);
    EXPECT_EQ(log.draws[3].units.at(0).first, log.draws[1].units.at(0).first);
    EXPECT_NE(log.draws[2].units.at(0).first, log.draws[1].units.at(0).first);
    for (const auto& p : plan.images()) EXPECT_TRUE(p.kind != Plan::Scratch || !p.tex.texture);
    EXPECT_EQ(plan.images()[4].kind, Plan::Output);
  }
  EXPECT_EQ(filter::stats().created - created, 2u);
  EXPECT_EQ(filter::stats().reused - reused, 1u);
  EXPECT_EQ(filter::stats().bytes, 2 * TEX_8x4);
  // Warm pool: nothing created. A binding to a sampler the program lacks keeps nothing alive.
  created = filter::stats().created;
  Plan plan = chain(in, 3, {{"u_not_a_sampler", 1}});
  ASSERT_EQ(plan.run(3, target, 0), 1);
  EXPECT_EQ(filter::stats().created, created);
  EXPECT_EQ(filter::stats().bytes, 2 * TEX_8x4);
}

TEST_F(FilterPlan, CapAppliesAtTheEndOfEveryRunAndPeakRemembers) {
  const filter::Tex in = make_tex(1920, 1080), target = make_tex(1920, 1080);
  const std::uint64_t big = 1920ull * 1080 * 16;
  filter::scratch_trim(0);
  filter::scratch_cap(0);
  filter::stats().peak = 0;
  for (int run = 0; run < 2; ++run) {
    const auto created = filter::stats().created, evicted = filter::stats().evicted;
    Plan plan = chain(in, 3);
    ASSERT_EQ(plan.run(3, target, 0), 1);
    EXPECT_EQ(filter::stats().created - created, 2u);
    EXPECT_EQ(filter::stats().evicted - evicted, 2u);
    EXPECT_EQ(filter::stats().bytes, 0u);
    EXPECT_EQ(filter::stats().peak, 0u);  // counted at the end of the run, after the cap
  }
  filter::scratch_cap(big);  // keeps the most recently released one
  Plan plan = chain(in, 3);
  ASSERT_EQ(plan.run(3, target, 0), 1);
  EXPECT_EQ(filter::stats().bytes, big);
  filter::scratch_cap(4 * big);
  Plan again = chain(in, 3);
  ASSERT_EQ(again.run(3, target, 0), 1);
  filter::scratch_trim(0);
  EXPECT_EQ(filter::stats().bytes, 0u);
  EXPECT_EQ(filter::stats().peak, 2 * big);
  qn_test::free_tex(in);
  qn_test::free_tex(target);
}

TEST_F(FilterPlan, BindingsUniformsAndSamplersAsResolved) {
  const filter::Tex in = make_tex(8, 4), target = make_tex(8, 4);
  const filter::Prog prep = *filter::program_get("glow_prep.frag");
  // Seventeen samplers of one name on units 0..16, and a declared matrix uniform.
  filter::Prog wide = prep;
  wide.samplers.clear();
  for (int unit = 0; unit < 17; ++unit) wide.samplers.emplace_back("u_image", unit);
  filter::program_set("wide.frag", wide);
  const int location = qn::gpu::uniform_info(prep.program, "u_tolerance")->location;
  qn::gpu::program_add(prep.program, "u_matrix", {location, 5, 1});
  filter::Uni nine{"u_matrix", 9, {1, 2, 3, 4}};
  filter::Uni minus{"u_tolerance", -1, {5, 0, 0, 0}};
  filter::scratch_sampler(77);

  PassLog log;
  qn_test::GlCallLog calls;
  Plan plan({in});
  const int a =
      plan.pass("glow_prep.frag", 0, {nine, minus, filter::U2("u_tolerance", 1, 2)}, {}, 0, 0);
  const int b = plan.pass("wide.frag", a, {U("u_tolerance", 0.5)}, {}, 0, 0);
  ASSERT_EQ(plan.run(b, target, 0), 1);
  qn::gpu::program_add(prep.program, "u_matrix", {-1, 7, 1});
  ASSERT_EQ(log.draws.size(), 2u);
  EXPECT_TRUE(log.draws[0].uniform("u_tolerance").empty());  // no value was accepted
  EXPECT_EQ(std::count(calls.calls.begin(), calls.calls.end(), "ProgramUniformMatrix3fv"), 0);
  EXPECT_EQ(log.draws[1].uniform("u_tolerance"), std::vector<float>{0.5f});
  EXPECT_EQ(log.draws[1].units.size(), 16u);
  EXPECT_EQ(log.draws[1].units.at(15).second, 77u);  // the scratch sampler
  EXPECT_EQ(log.draws[0].units.at(0).second, 0u);    // the input's own
}

}  // namespace
