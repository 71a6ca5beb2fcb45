// The parameters, the plan, the pool and the operations, on real OpenGL with shaders/.
#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

#include "nodes/filter/filter_fixture.h"
#include "quarn/nodes/filter/plan.h"

namespace filter = qn::nodes::filter;
using filter::Plan;
using filter::U;
using qn_test::make_tex;
using qn_test::read_tex;
using V = std::vector<float>;
using Img = std::function<float(int, int)>;
using Bindings = std::vector<std::pair<std::string, int>>;

namespace {

using FilterPlan = qn_test::FilterTest;
using FilterOps = qn_test::FilterTest;
const double INF = std::numeric_limits<double>::infinity(), NaN = std::nan("");
constexpr std::uint64_t TEX_8x4 = 8 * 4 * 16;
filter::FilterStats& st() { return filter::stats(); }

TEST(FilterParams, IntegersRampAndUniformValuesHaveDefinedEnds) {
  // clang-format off
  const double cases[][4] = {  // size, code (filter for radius, limit for factor), radius, factor
      {7, 0, 3, 1}, {7, 1, 6, 7}, {7, 3, 10, 3}, {1, 0, 0, 1}, {0.5, 1, 0, 1}, {-3, 2, 0, 1},
      {5000, 2, 4096, 2500}, {3, 0, 1, 1}, {4, 0, 2, 1}, {100, 25, 150, 4}, {101, 25, 151, 5},
      {25, 25, 37, 1}, {100, 0, 50, 1}, {26, 25, 39, 2}, {NaN, 2, 0, 1}, {INF, 2, 4096, INT_MAX},
      {1e300, 1, 4096, INT_MAX}, {2730, 2, 4095, 1365}, {2731, 2, 4096, 1366}, {1e-12, 1, 0, 1},
      {1, 2, 1, 1}, {0.5, 2, 0, 1}};
  const double ramps[][3] = {{0, 1, -0.0}, {0.1, 1, -0.0}, {1, 4, -2.875}, {-1, 4, -2.875},
      {INF, 1e6, -1e6}, {NaN, 1e6, -1e6}, {0.2, 1 / 0.96875, -0.03125 / 0.96875}};  // amount: a, b
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(filter::radius(c[0], int(c[1])), c[2]) << c[0] << " / " << c[1];
    EXPECT_EQ(filter::factor(c[0], int(c[1])), c[3]) << c[0] << " / " << c[1];
  }
  for (const auto& c : ramps) {
    double scale = 0, bias = 0;
    filter::erode_ramp(c[0], &scale, &bias);
    EXPECT_NEAR(scale, c[1], 1e-6 * c[1]) << c[0];
    EXPECT_NEAR(bias, c[2], 1e-6 * std::fabs(c[1])) << c[0];
    EXPECT_EQ(std::signbit(bias), std::signbit(c[2])) << c[0];
  }
  const float inf = std::numeric_limits<float>::infinity();
  const filter::Uni u2 = filter::U2("b", 1e300, -1e300), u3 = filter::U3("c", 1.5, NaN, 3);
  EXPECT_EQ(std::vector<float>(u2.v, u2.v + 4), (std::vector<float>{inf, -inf, 0, 0}));
  EXPECT_TRUE(u3.n == 3 && u3.v[0] == 1.5f && std::isnan(u3.v[1]) && u3.v[3] == 0);
}

// A "glow_prep.frag" pass from `src`, of `src`'s size unless `w` is given; chain: input -> A ->
// B -> ...: `n` passes, each reading the one before; the last is the result.
int prep(Plan& p, int src, int w = 0, int h = 0, Bindings more = {}) {
  return p.pass("glow_prep.frag", src, {U("u_tolerance", 0)}, std::move(more), w, h);
}

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
      {"binding 5", -1, [](Plan& p) { return prep(p, 0, 0, 0, {{"u_image", 5}}); }, T},
      {"binding -3", -1, [](Plan& p) { return prep(p, 0, 0, 0, {{"u_image", -3}}); }, T},
      {"scratch of width 0", -1, [](Plan& p) { return prep(p, prep(p, -1, 0, 4)); }, T},
      {"scratch of height -4", -1, [](Plan& p) { return prep(p, prep(p, 0, 8, -4), 8, 4); }, T},
      {"scratch bytes beyond 64 bits", -1,
       [](Plan& p) { return prep(p, prep(p, 0, INT_MAX, INT_MAX), 8, 4); }, T}};
  // clang-format on
  for (const auto& [what, code, build, to] : cases) {
    Plan plan({in});
    const int result = build(plan);
    const auto before = std::make_tuple(st().runs, st().created, st().bytes);
    qn_test::GlCallLog log;
    EXPECT_EQ(plan.run(result, to, 0), code) << what;
    EXPECT_EQ(log.calls.size(), 0u) << what;
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
  const filter::Uni nine{"u_matrix", 9, {1, 2, 3, 4}}, none{"u_tolerance", -1, {5}};
  const int a =
      plan.pass("glow_prep.frag", 0, {nine, none, filter::U2("u_tolerance", 1, 2)}, {}, 0, 0);
  ASSERT_EQ(plan.run(plan.pass("wide.frag", a, {U("u_tolerance", 0.5)}, {}, 0, 0), target, 0), 1);
  qn::gpu::program_add(prep_prog.program, "u_matrix", {-1, 7, 1});
  filter::scratch_sampler(0);
  ASSERT_EQ(log.draws.size(), 2u);
  EXPECT_TRUE(log.draws[0].uniform("u_tolerance").empty());  // no value was accepted
  EXPECT_EQ(std::ranges::count(log.calls.calls, "ProgramUniformMatrix3fv"), 0);
  EXPECT_EQ(log.draws[1].uniform("u_tolerance"), std::vector<float>{0.5f});
  // Sixteen units at most; a pooled texture now has the sampler, the input keeps its own.
  EXPECT_EQ(std::make_tuple(log.draws[1].units.size(), log.draws[1].units.at(15).second,
                            log.draws[0].units.at(0).second),
            std::make_tuple(size_t{16}, 77u, 0u));
}

TEST(FilterOpFrags, NamesPerOperationExactAndCaseSensitive) {
  const std::string B = "blur_v blur_h blur_downrez blur_uprez ";
  // clang-format off
  const std::pair<const char*, std::string> cases[] = {
      {"blur", B}, {"sharpen", B + "sharpen"}, {"glow", B + "glow_prep glow_add"},
      {"edgeblur", B + "edgeblur"}, {"erode", B + "erode_blur"}, {"dilate", "dilate"},
      {"filter_erode", "filter_erode"}, {"disc", "row_prefix disc_blur"}, {"Blur", ""},
      {"blur ", ""}};
  // clang-format on
  for (const auto& [op, names] : cases) {
    std::vector<std::string> frags;
    std::istringstream s(names);
    for (std::string n; s >> n;) frags.push_back(n + ".frag");
    EXPECT_EQ(filter::op_frags(op), frags) << op;
  }
}

// Checks one drawn pass against "shader WxH name=v,v @unit=in0|in1|new": uniforms named without
// "u_", textures bound on a unit (an input, or a texture of the pool).
void expect_pass(const qn_test::DrawRecord& d, const std::string& want,
                 const std::vector<filter::Tex>& in, const std::string& where) {
  std::istringstream s(want);
  std::string word;
  char x;
  int w = 0, h = 0;
  s >> word >> w >> x >> h;
  EXPECT_EQ(d.frag, word + ".frag") << where;
  EXPECT_EQ(std::make_pair(d.width, d.height), std::make_pair(w, h)) << where;
  while (s >> word) {
    const std::string key = word.substr(0, word.find('=')), val = word.substr(key.size() + 1);
    if (key[0] == '@') {
      const auto u = d.units.find(std::stoi(key.substr(1)));
      const GLuint t = u == d.units.end() ? 0 : u->second.first;
      EXPECT_TRUE(val == "new" ? t && t != in[0].texture : t == in.at(val[2] - '0').texture)
          << where << " " << word;
      continue;
    }
    V v;
    std::istringstream vs(val);
    for (std::string n; std::getline(vs, n, ',');) v.push_back(std::stof(n));
    EXPECT_EQ(d.uniform("u_" + key), v) << where << " " << word;
  }
}

struct OpCase {
  const char* op;
  std::vector<double> params;
  int inputs, w, h, code;
  std::vector<const char*> passes;
};

TEST_F(FilterOps, PassStructureSizesUniformsAndBindings) {
  const std::vector<double> B = {0, 0, 0, 0, 0, 0, 8, 8};
  const double NaN = std::nan("");
  // clang-format off
  const OpCase cases[] = {
      {"blur", B, 1, 64, 32, 0, {}},
      {"blur", {5, 3, 0, 0, 0, 0, 64, 32}, 1, 64, 32, 1,
       {"blur_v 64x32 size=3 radius=1 filter=0 @0=in0", "blur_h 64x32 size=5 radius=2 @0=new"}},
      {"blur", {100, 100, 2, 25, 0, 0, 1920, 1080}, 1, 1920, 1080, 1,
       {"blur_downrez 480x270 factor=4,4 bbox=0,0,1920,1080 cell=0,270",
        "blur_v 480x270 size=25 radius=37 filter=2", "blur_h 480x270 size=25",
        "blur_uprez 1920x1080 cell=0,270"}},
      {"blur", {100, 100, 0, 25, -5, -8, 8, -5}, 1, 16, 8, 1,  // negative corners: floor and ceil
       {"blur_downrez 4x1 factor=4,4 cell=-2,-1", "blur_v 4x1 size=25", "blur_h 4x1",
        "blur_uprez 16x8"}},
      {"blur", {1, 100, 0, 25, -5, -9, 8, 8}, 1, 16, 8, 1,  // one axis reduced
       {"blur_downrez 13x5 factor=1,4 cell=-5,2", "blur_v 13x5 size=25", "blur_uprez 16x8"}},
      {"blur", {3, 0, NaN, NaN, -1e300, 0, 1e300, 1}, 1, 8, 8, 1, {"blur_h 8x8 filter=0 radius=1"}},
      {"blur", {1, 100, 0, 25, -1e300, -1e300, 1e300, 1e300}, 1, 8, 8, -1, {}},  // too many cells
      {"sharpen", {0, 0, 0, 0, 0, 0, 8, 8, 1, 0, 1}, 1, 8, 8, 0, {}},
      {"sharpen", {0, 2, 0, 0, 0, 0, 8, 8, 1.5, -1, 2}, 1, 8, 8, 1,
       {"blur_v 8x8", "sharpen 8x8 amount=1.5 min=-1 max=2 @0=in0 @1=new"}},
      {"glow", {2, 0, 1, 0, 0, 0, 8, 8, 0.25, 1, 0.5, 0.25, 2, 0.75, 3}, 1, 8, 8, 1,
       {"glow_prep 8x8 tolerance=0.25", "blur_h 8x8 filter=1",
        "glow_add 8x8 tint=1,0.5,0.25 brightness=2 saturation=0.75 effect_only=1"}},
      {"dilate", {2.25}, 1, 8, 8, 1, {"dilate 8x8 n=2 frac=.25 max=1 axis=0", "dilate 8x8 axis=1"}},
      {"dilate", {-2.25}, 1, 8, 8, 1, {"dilate 8x8 max=0", "dilate 8x8 max=0"}},
      {"dilate", {0}, 1, 8, 8, 1, {"dilate 8x8 n=0", "dilate 8x8"}},
      {"filter_erode", {3, 0}, 1, 8, 8, 1,
       {"filter_erode 8x8 size=7 radius=3 axis=0 in=1 out=0",
        "filter_erode 8x8 axis=1 in=0 out=1"}},
      {"filter_erode", {0, 1}, 1, 8, 8, 1,
       {"filter_erode 8x8 size=1 radius=0 in=0", "filter_erode 8x8 out=0"}},
      {"erode", {0, 0, 0, 0, 0, 8, 8}, 1, 8, 8, 0, {}},
      {"erode", {-1, 2, 0, 0, 0, 8, 8}, 1, 8, 8, 1,
       {"blur_v 8x8 size=2 filter=1", "blur_h 8x8", "erode_blur 8x8 a=4 b=-2.875 grow=1",
        "blur_v 8x8 size=2 filter=3", "blur_h 8x8"}},
      {"edgeblur", {0, 0, 0, 0, 0, 0, 8, 8, 3, 1, 1, 1, 1, 1}, 1, 8, 8, -1, {}},  // no matte
      {"edgeblur", {0, 0, 0, 0, 0, 0, 8, 8, 3, 2, 1, 1, 1, 0.5}, 2, 8, 8, 1,
       {"edgeblur 8x8 matte_ch=3 edge_mult=2 brightness=0.5 amount_only=0 @0=in0 @2=in1"}},
      {"edgeblur", {2, 2, 0, 0, 0, 0, 8, 8, 3, 1, 1, 1, 1, 1}, 2, 8, 8, 1,
       {"blur_v 8x8", "blur_h 8x8", "edgeblur 8x8 @0=in0 @2=in1"}},
      {"disc", {0.4, 0.3, 0}, 1, 8, 8, 0, {}},
      {"disc", {0.4, 0.6, 0}, 1, 8, 8, 1,
       {"row_prefix 8x8 tile=64", "disc_blur 8x8 radius=0.4,0.6 direct=0"}},
      {"disc", {3, 2, 5}, 2, 8, 8, 1, {"disc_blur 8x8 tile=64 direct=1 @1=in1"}},
      {"Blur", B, 1, 8, 8, -1, {}},
      {"glow", {0, 0, 0, 0, 0, 0, 8, 8, 1, 1, 1, 1, 1, 1}, 1, 8, 8, -1, {}},  // too few parameters
      {"dilate", {1}, 0, 8, 8, -1, {}}};
  // clang-format on
  for (const OpCase& c : cases) {
    const std::string what = c.op + (" #" + std::to_string(&c - cases));
    std::vector<filter::Tex> in;
    for (int i = 0; i < c.inputs; ++i) in.push_back(make_tex(c.w, c.h));
    const filter::Tex target = make_tex(c.w, c.h);
    const auto created = filter::stats().created;
    qn_test::PassLog log;
    EXPECT_EQ(filter::run_op(c.op, in, c.params, target, 0), c.code) << what;
    EXPECT_TRUE(c.code == 1 || (log.calls.calls.empty() && filter::stats().created == created))
        << what;
    ASSERT_EQ(log.draws.size(), c.passes.size()) << what;
    for (size_t i = 0; i < c.passes.size(); ++i) expect_pass(log.draws[i], c.passes[i], in, what);
    EXPECT_TRUE(c.code != 1 || log.draws.back().fbo == target.framebuffer) << what;
    for (const auto& t : in) read_tex(t);
    read_tex(target);
  }
}

// ---- pixels: channel 0 of an image filled with f(x, y) in every channel ----------------------

V filtered(const char* op, int w, int h, const Img& f, const std::vector<double>& params) {
  V px(size_t(w) * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = f(int(i / 4 % w), int(i / 4 / w));
  const filter::Tex in = make_tex(w, h, px), target = make_tex(w, h);
  EXPECT_EQ(filter::run_op(op, {in}, params, target, 0), 1) << op;
  read_tex(in);
  return read_tex(target);
}
float at(const V& px, int w, int x, int y) { return px[(size_t(y) * w + x) * 4]; }
Img box(int lo, int hi) {
  return [=](int x, int y) { return x >= lo && x < hi && y >= lo && y < hi ? 1.f : 0.f; };
}
void expect_image(const V& px, int w, const Img& want, double tol, const std::string& what) {
  for (int y = 0; y < int(px.size() / 4 / w); ++y)
    for (int x = 0; x < w; ++x)
      ASSERT_NEAR(at(px, w, x, y), want(x, y), tol) << what << " at " << x << "," << y;
}

TEST_F(FilterOps, BlurOfOnePixelIsSymmetricAndKeepsItsEnergy) {
  for (double code : {0.0, 1.0, 2.0}) {
    const auto out = filtered("blur", 33, 33, box(16, 17), {5, 5, code, 0, 0, 0, 33, 33});
    double sum = 0;
    for (int i = 0, x = 0, y = 0; i < 33 * 33; ++i, x = i % 33, y = i / 33) {
      sum += at(out, 33, x, y);
      EXPECT_NEAR(at(out, 33, x, y), at(out, 33, 32 - x, y), 1e-7) << code;
      EXPECT_NEAR(at(out, 33, x, y), at(out, 33, y, x), 1e-7) << code;
    }
    EXPECT_NEAR(sum, 1.0, 1e-5) << code;
    const int r = filter::radius(5, int(code));  // the kernel reaches r, no further
    EXPECT_TRUE(at(out, 33, 16 + r, 16 + r) > 0 && at(out, 33, 16 + r + 1, 16) == 0) << code;
  }
}

TEST_F(FilterOps, DilateDiscAndSharpenPixels) {
  for (auto [amount, lo, hi] : {std::tuple{2.0, 10, 22}, {-2.0, 14, 18}, {0.0, 12, 20}})
    expect_image(filtered("dilate", 32, 32, box(12, 20), {amount}), 32, box(lo, hi), 0, "dilate");
  int inside = 0;
  for (int d = 0; d < 121; ++d)
    inside += (d % 11 - 5) * (d % 11 - 5) + (d / 11 - 5) * (d / 11 - 5) <= 25;
  auto disc = [&](int x, int y) {
    return (x - 16) * (x - 16) + (y - 16) * (y - 16) <= 25 ? 1.f / inside : 0.f;
  };
  for (double direct : {0.0, 1.0})
    expect_image(filtered("disc", 33, 33, box(16, 17), {5, 5, direct}), 33, disc, 1e-6, "disc");
  const auto flat = [](int, int) { return 0.3f; };
  const auto out = filtered("sharpen", 16, 16, flat, {4, 4, 2, 0, 0, 0, 16, 16, 2.5, -1, 1});
  for (float v : out) ASSERT_NEAR(v, 0.3f, 1e-6);
}

// Last: it forgets the registered programs, which the fixture then registers again.
TEST(FilterPrograms, SetOverwritesInPlaceAndClearForgets) {
  filter::program_set("x.frag", {1, 2, 3, 4, {{"u_image", 0}}});
  const filter::Prog* p = filter::program_get("x.frag");
  filter::program_set("x.frag", {5, 6, 7, 8, {}});
  EXPECT_EQ(filter::program_get("x.frag"), p);
  EXPECT_TRUE(p->program == 5 && p->count == 8 && p->samplers.empty());
  EXPECT_EQ(filter::program_get("X.frag"), nullptr);
  filter::programs_clear();
  EXPECT_EQ(filter::program_get("x.frag"), nullptr);
}

}  // namespace
