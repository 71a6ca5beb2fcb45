#include "quarn/nodes/filter/ops.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "support/filter_fixture.h"
#include "support/gl_calls.h"

namespace filter = qn::nodes::filter;
using qn_test::make_tex;
using qn_test::PassLog;
using qn_test::read_tex;
using V = std::vector<float>;

namespace {

using FilterOps = qn_test::FilterTest;

const double NaN = std::nan("");

TEST(FilterOpFrags, NamesPerOperationExactAndCaseSensitive) {
  const std::vector<std::string> blur = {"blur_v.frag", "blur_h.frag", "blur_downrez.frag",
                                         "blur_uprez.frag"};
  auto plus = [&](std::vector<std::string> more) {
    more.insert(more.begin(), blur.begin(), blur.end());
    return more;
  };
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"blur", blur},
      {"sharpen", plus({"sharpen.frag"})},
      {"glow", plus({"glow_prep.frag", "glow_add.frag"})},
      {"edgeblur", plus({"edgeblur.frag"})},
      {"erode", plus({"erode_blur.frag"})},
      {"dilate", {"dilate.frag"}},
      {"filter_erode", {"filter_erode.frag"}},
      {"disc", {"row_prefix.frag", "disc_blur.frag"}},
      {"Blur", {}},
      {"blur ", {}}};
  for (const auto& [op, frags] : cases) EXPECT_EQ(filter::op_frags(op), frags) << op;
}

// One pass as drawn: shader, output size, and some of the uniform values in effect.
struct Expect {
  const char* frag;
  int w, h;
  std::vector<std::pair<const char*, V>> uniforms;
};

struct OpCase {
  const char* what;
  const char* op;
  std::vector<double> params;
  int inputs, w, h, code;
  std::vector<Expect> passes;
};

TEST_F(FilterOps, PassStructureSizesAndUniforms) {
  const std::vector<double> B = {0, 0, 0, 0, 0, 0, 64, 32};  // a "blur" prefix, sizes 0
  auto with = [](std::vector<double> head, std::vector<double> tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  // clang-format off
  const OpCase cases[] = {
      {"blur of size 0", "blur", B, 1, 64, 32, 0, {}},
      {"blur at full resolution", "blur", {5, 3, 0, 0, 0, 0, 64, 32}, 1, 64, 32, 1,
       {{"blur_v.frag", 64, 32, {{"u_size", {3}}, {"u_radius", {1}}, {"u_filter", {0}}}},
        {"blur_h.frag", 64, 32, {{"u_size", {5}}, {"u_radius", {2}}}}}},
      {"blur reduced by 4", "blur", {100, 100, 2, 25, 0, 0, 1920, 1080}, 1, 1920, 1080, 1,
       {{"blur_downrez.frag", 480, 270, {{"u_factor", {4, 4}}, {"u_bbox", {0, 0, 1920, 1080}}, {"u_cell", {0, 270}}}},
        {"blur_v.frag", 480, 270, {{"u_size", {25}}, {"u_radius", {37}}, {"u_filter", {2}}}},
        {"blur_h.frag", 480, 270, {{"u_size", {25}}}},
        {"blur_uprez.frag", 1920, 1080, {{"u_cell", {0, 270}}}}}},
      {"negative corners floor and ceil", "blur", {100, 100, 0, 25, -5, -8, 8, -5}, 1, 16, 8, 1,
       {{"blur_downrez.frag", 4, 1, {{"u_factor", {4, 4}}, {"u_cell", {-2, -1}}}},
        {"blur_v.frag", 4, 1, {{"u_size", {25}}}}, {"blur_h.frag", 4, 1, {}}, {"blur_uprez.frag", 16, 8, {}}}},
      {"one axis reduced", "blur", {1, 100, 0, 25, -5, -9, 8, 8}, 1, 16, 8, 1,
       {{"blur_downrez.frag", 13, 5, {{"u_factor", {1, 4}}, {"u_cell", {-5, 2}}}},
        {"blur_v.frag", 13, 5, {{"u_size", {25}}}}, {"blur_uprez.frag", 16, 8, {}}}},
      {"NaN filter and limit, huge corners", "blur", {3, 0, NaN, NaN, -1e300, 0, 1e300, 1}, 1, 8, 8, 1,
       {{"blur_h.frag", 8, 8, {{"u_filter", {0}}, {"u_radius", {1}}}}}},
      {"reduced image too large to count", "blur", {1, 100, 0, 25, -1e300, -1e300, 1e300, 1e300}, 1, 8, 8, -1, {}},
      {"sharpen with no blur", "sharpen", with(B, {1, 0, 1}), 1, 8, 8, 0, {}},
      {"sharpen", "sharpen", with({0, 2, 0, 0, 0, 0, 8, 8}, {1.5, -1, 2}), 1, 8, 8, 1,
       {{"blur_v.frag", 8, 8, {}}, {"sharpen.frag", 8, 8, {{"u_amount", {1.5}}, {"u_min", {-1}}, {"u_max", {2}}}}}},
      {"glow", "glow", with({2, 0, 1, 0, 0, 0, 8, 8}, {0.25, 1, 0.5, 0.25, 2, 0.75, 3}), 1, 8, 8, 1,
       {{"glow_prep.frag", 8, 8, {{"u_tolerance", {0.25}}}}, {"blur_h.frag", 8, 8, {{"u_filter", {1}}}},
        {"glow_add.frag", 8, 8, {{"u_tint", {1, 0.5, 0.25}}, {"u_brightness", {2}}, {"u_saturation", {0.75}}, {"u_effect_only", {1}}}}}},
      {"dilate grows", "dilate", {2.25}, 1, 8, 8, 1,
       {{"dilate.frag", 8, 8, {{"u_n", {2}}, {"u_frac", {0.25}}, {"u_max", {1}}, {"u_axis", {0}}}},
        {"dilate.frag", 8, 8, {{"u_axis", {1}}}}}},
      {"dilate shrinks", "dilate", {-2.25}, 1, 8, 8, 1,
       {{"dilate.frag", 8, 8, {{"u_max", {0}}}}, {"dilate.frag", 8, 8, {{"u_max", {0}}}}}},
      {"dilate by 0", "dilate", {0}, 1, 8, 8, 1, {{"dilate.frag", 8, 8, {{"u_n", {0}}}}, {"dilate.frag", 8, 8, {}}}},
      {"filter_erode", "filter_erode", {3, 0}, 1, 8, 8, 1,
       {{"filter_erode.frag", 8, 8, {{"u_size", {7}}, {"u_radius", {3}}, {"u_axis", {0}}, {"u_in", {1}}, {"u_out", {0}}}},
        {"filter_erode.frag", 8, 8, {{"u_axis", {1}}, {"u_in", {0}}, {"u_out", {1}}}}}},
      {"filter_erode by 0 shrinks", "filter_erode", {0, 1}, 1, 8, 8, 1,
       {{"filter_erode.frag", 8, 8, {{"u_size", {1}}, {"u_radius", {0}}, {"u_in", {0}}}},
        {"filter_erode.frag", 8, 8, {{"u_out", {0}}}}}},
      {"erode by nothing", "erode", {0, 0, 0, 0, 0, 8, 8}, 1, 8, 8, 0, {}},
      {"erode then blur", "erode", {-1, 2, 0, 0, 0, 8, 8}, 1, 8, 8, 1,
       {{"blur_v.frag", 8, 8, {{"u_size", {2}}, {"u_filter", {1}}}}, {"blur_h.frag", 8, 8, {}},
        {"erode_blur.frag", 8, 8, {{"u_a", {4}}, {"u_b", {-2.875}}, {"u_grow", {1}}}},
        {"blur_v.frag", 8, 8, {{"u_size", {2}}, {"u_filter", {3}}}}, {"blur_h.frag", 8, 8, {}}}},
      {"edgeblur without a matte", "edgeblur", with(B, {3, 1, 1, 1, 1, 1}), 1, 8, 8, -1, {}},
      {"edgeblur", "edgeblur", with(B, {3, 2, 1, 1, 1, 0.5}), 2, 8, 8, 1,
       {{"edgeblur.frag", 8, 8, {{"u_matte_ch", {3}}, {"u_edge_mult", {2}}, {"u_brightness", {0.5}}, {"u_amount_only", {0}}}}}},
      {"disc too small", "disc", {0.4, 0.3, 0}, 1, 8, 8, 0, {}},
      {"disc with its own prefix", "disc", {0.4, 0.6, 0}, 1, 8, 8, 1,
       {{"row_prefix.frag", 8, 8, {{"u_tile", {64}}}},
        {"disc_blur.frag", 8, 8, {{"u_radius", {0.4f, 0.6f}}, {"u_direct", {0}}}}}},
      {"disc given a prefix", "disc", {3, 2, 5}, 2, 8, 8, 1,
       {{"disc_blur.frag", 8, 8, {{"u_tile", {64}}, {"u_direct", {1}}}}}},
      {"unknown operation", "Blur", B, 1, 8, 8, -1, {}},
      {"too few parameters", "glow", with(B, {1, 1, 1, 1, 1, 1}), 1, 8, 8, -1, {}},
      {"no inputs", "dilate", {1}, 0, 8, 8, -1, {}},
  };
  // clang-format on
  for (const OpCase& c : cases) {
    std::vector<filter::Tex> inputs;
    for (int i = 0; i < c.inputs; ++i) inputs.push_back(make_tex(c.w, c.h));
    const filter::Tex target = make_tex(c.w, c.h);
    const auto created = filter::stats().created;
    PassLog log;
    qn_test::GlCallLog calls;
    EXPECT_EQ(filter::run_op(c.op, inputs, c.params, target, 0), c.code) << c.what;
    if (c.code != 1) {
      EXPECT_EQ(calls.size(), 0u) << c.what;
      EXPECT_EQ(filter::stats().created, created) << c.what;
    }
    ASSERT_EQ(log.draws.size(), c.passes.size()) << c.what;
    for (size_t i = 0; i < c.passes.size(); ++i) {
      const Expect& e = c.passes[i];
      const qn_test::DrawRecord& d = log.draws[i];
      EXPECT_EQ(d.frag, e.frag) << c.what << " pass " << i;
      EXPECT_EQ(std::make_pair(d.width, d.height), std::make_pair(e.w, e.h)) << c.what << " " << i;
      for (const auto& [name, value] : e.uniforms)
        EXPECT_EQ(d.uniform(name), value) << c.what << " " << e.frag << " " << name;
    }
    if (c.code == 1 && !log.draws.empty()) {
      EXPECT_EQ(log.draws.back().fbo, target.framebuffer) << c.what;
    }
    for (const auto& t : inputs) read_tex(t);
    read_tex(target);
  }
}

// Texture bindings of the two-input operations: the matte and a given prefix are image 1.
TEST_F(FilterOps, SecondInputsAndBlursAreBoundByName) {
  const filter::Tex a = make_tex(8, 8), b = make_tex(8, 8), target = make_tex(8, 8);
  PassLog log;
  ASSERT_EQ(filter::run_op("disc", {a, b}, {2, 2, 0}, target, 0), 1);
  ASSERT_EQ(
      filter::run_op("edgeblur", {a, b}, {2, 2, 0, 0, 0, 0, 8, 8, 3, 1, 1, 1, 1, 1}, target, 0), 1);
  ASSERT_EQ(filter::run_op("sharpen", {a}, {2, 2, 0, 0, 0, 0, 8, 8, 1, 0, 1}, target, 0), 1);
  std::vector<std::string> frags;
  for (const auto& d : log.draws) frags.push_back(d.frag);
  ASSERT_EQ(frags, (std::vector<std::string>{"disc_blur.frag", "blur_v.frag", "blur_h.frag",
                                             "edgeblur.frag", "blur_v.frag", "blur_h.frag",
                                             "sharpen.frag"}));
  EXPECT_EQ(log.draws[0].units.at(1).first, b.texture);  // u_prefix
  EXPECT_EQ(log.draws[3].units.at(2).first, b.texture);  // u_matte
  EXPECT_EQ(log.draws[3].units.at(0).first, a.texture);  // u_image
  EXPECT_EQ(log.draws[6].units.at(0).first, a.texture);
  EXPECT_NE(log.draws[6].units.at(1).first, 0u);  // u_blur, a scratch texture
}

// ---- pixels ------------------------------------------------------------------------------------

std::vector<float> image(int w, int h, const std::function<float(int, int)>& f) {
  std::vector<float> px(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 4; ++c) px[(static_cast<size_t>(y) * w + x) * 4 + c] = f(x, y);
  return px;
}

float at(const std::vector<float>& px, int w, int x, int y) {
  return px[(static_cast<size_t>(y) * w + x) * 4];
}

std::vector<float> filtered(const char* op, int w, int h, const std::function<float(int, int)>& f,
                            const std::vector<double>& params) {
  const filter::Tex in = make_tex(w, h, image(w, h, f)), target = make_tex(w, h);
  EXPECT_EQ(filter::run_op(op, {in}, params, target, 0), 1) << op;
  read_tex(in);
  return read_tex(target);
}

TEST_F(FilterOps, BlurOfOnePixelIsSymmetricAndKeepsItsEnergy) {
  for (double code : {0.0, 1.0, 2.0}) {
    const auto out =
        filtered("blur", 33, 33, [](int x, int y) { return x == 16 && y == 16 ? 1.f : 0.f; },
                 {5, 5, code, 0, 0, 0, 33, 33});
    double sum = 0;
    for (int y = 0; y < 33; ++y)
      for (int x = 0; x < 33; ++x) {
        sum += at(out, 33, x, y);
        EXPECT_NEAR(at(out, 33, x, y), at(out, 33, 32 - x, y), 1e-7) << code;
        EXPECT_NEAR(at(out, 33, x, y), at(out, 33, y, x), 1e-7) << code;
      }
    EXPECT_NEAR(sum, 1.0, 1e-5) << code;
    const int r = filter::radius(5, static_cast<int>(code));  // the kernel reaches r, no further
    EXPECT_GT(at(out, 33, 16 + r, 16 + r), 0.0f) << code;
    EXPECT_EQ(at(out, 33, 16 + r + 1, 16), 0.0f) << code;
  }
}

// A box blur of 100 on a 66-pixel square, at full resolution and reduced by 4 (cells of 4 x 4).
// Per axis the full blur is a trapezoid F of slopes 1/100 and plateau 0.66. Each blurred cell
// averages 100 pixels centred on the cell centre, so it holds F there exactly; the uprez then
// interpolates linearly between centres 4 pixels apart, exact where F is linear and off by at
// most (1/100) * (2 * 2) / 4 = 0.01 next to a kink. In 2-D, f g - f' g' = (f - f') g +
// f' (g - g') is at most 0.01 * 0.66 twice: 0.0132.
TEST_F(FilterOps, ReducedBlurStaysCloseToTheFullOne) {
  auto square = [](int x, int y) { return x >= 97 && x < 163 && y >= 97 && y < 163 ? 1.f : 0.f; };
  const auto full = filtered("blur", 256, 256, square, {100, 100, 0, 0, 0, 0, 256, 256});
  const auto reduced = filtered("blur", 256, 256, square, {100, 100, 0, 25, 0, 0, 256, 256});
  float worst = 0;
  for (size_t i = 0; i < full.size(); ++i) worst = std::max(worst, std::fabs(full[i] - reduced[i]));
  EXPECT_LE(worst, 0.0132f + 1e-5f);
  std::printf("largest difference, reduced against full blur: %g\n", worst);
  EXPECT_NEAR(at(full, 256, 128, 128), 0.66f * 0.66f, 1e-4);  // plateau: 66/100 per axis
  EXPECT_GT(worst, 0.0f);                                     // the two paths really differ
}

TEST_F(FilterOps, DilateGrowsASquareAndANegativeAmountShrinksIt) {
  auto square = [](int x, int y) { return x >= 12 && x < 20 && y >= 12 && y < 20 ? 1.f : 0.f; };
  for (auto [amount, lo, hi] : {std::tuple{2.0, 10, 22}, {-2.0, 14, 18}, {0.0, 12, 20}}) {
    const auto out = filtered("dilate", 32, 32, square, {amount});
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x)
        ASSERT_EQ(at(out, 32, x, y), (x >= lo && x < hi && y >= lo && y < hi) ? 1.f : 0.f)
            << amount << " at " << x << "," << y;
  }
}

TEST_F(FilterOps, DiscOfAPointIsADiscOfTheRadius) {
  auto point = [](int x, int y) { return x == 16 && y == 16 ? 1.f : 0.f; };
  for (double direct : {0.0, 1.0}) {
    const auto out = filtered("disc", 33, 33, point, {5, 5, direct});
    int inside = 0;
    for (int dy = -5; dy <= 5; ++dy)
      for (int dx = -5; dx <= 5; ++dx) inside += dx * dx + dy * dy <= 25;
    for (int y = 0; y < 33; ++y)
      for (int x = 0; x < 33; ++x) {
        const int d2 = (x - 16) * (x - 16) + (y - 16) * (y - 16);
        ASSERT_NEAR(at(out, 33, x, y), d2 <= 25 ? 1.0 / inside : 0.0, 1e-6)
            << direct << " at " << x << "," << y;
      }
  }
}

TEST_F(FilterOps, SharpenOfAFlatImageIsTheImage) {
  const auto out = filtered("sharpen", 16, 16, [](int, int) { return 0.3f; },
                            {4, 4, 2, 0, 0, 0, 16, 16, 2.5, -1, 1});
  for (float v : out) ASSERT_NEAR(v, 0.3f, 1e-6);
}

}  // namespace
