#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <tuple>

#include "quarn/xform/crop.h"
#include "quarn/xform/matrix.h"
#include "quarn/xform/plan.h"
#include "quarn/xform/step.h"
#include "support/blas.h"
#include "support/matrices.h"
#include "support/throws.h"

namespace {

using namespace qn::xform;
using namespace qn_test;
using Box = std::array<long, 4>;
using Edges = std::array<double, 4>;
using Step = std::vector<double>;
using Chain = std::vector<Step>;
constexpr long kLongMax = LONG_MAX, kLongMin = LONG_MIN;

class Xform : public WithHostBlas {};  // OpenBLAS installed as the host's routines

struct Stepped {
  std::optional<Mat3> m;
  long width, height;
  bool crop;
};

Stepped run(const Step& step, long width = 100, long height = 100) {
  Stepped s{std::nullopt, width, height, true};  // crop must be cleared on entry
  s.m = step_matrix(step, s.width, s.height, s.crop);
  return s;
}

TEST_F(Xform, HooksNeedAllFourAndEveryCallRefusesWithoutThem) {
  const auto a = openblas64();
  EXPECT_FALSE(set_blas(a.gesv, a.gemm, 0, a.dot));
  EXPECT_FALSE(has_blas());
  const Mat3 id = kIdentity3;
  // clang-format off
  const std::function<void()> calls[] = {
      [&] { (void)inverse(id); }, [&] { (void)product(id, id); },
      [&] { (void)h_bbox({0, 0, 1, 1}, id, 0); },
      [] { (void)run(transform_step(1, 2)); },
      [] { (void)total({}, 10, 10); }, [] { (void)plan({}); },
      [] { (void)mblur_samples(1, {}, 10, 10); },
      [] { (void)crop_plan(0, 0, 1, 1, false, {0, 0, 1, 1}, false, 1, 1); }};
  // clang-format on
  for (const auto& call : calls)
    EXPECT_THAT(call, throws<std::logic_error>(
                          "xform: linear-algebra routines not set (call set_blas first)"));
  EXPECT_TRUE(set_blas(a.gesv, a.gemm, a.gemv, a.dot));
}

TEST_F(Xform, BoundingBoxes) {
  const Box unit{0, 0, 10, 10};
  const Mat3 toward_horizon{1, 0, 0, 0, 1, 0, -0.1, 0, 1};  // w = 0 at x = 10
  const long big = kLongMax - 10;
  struct Case {
    Mat3 m;
    long pad;
    std::optional<Box> want;
  } cases[] = {
      // clang-format off
      {kIdentity3, 1, Box{-1, -1, 11, 11}}, {translation(0.5, 0), 0, Box{0, 0, 11, 10}},
      {translation(1e-7, 0), 0, Box{0, 0, 10, 10}},  // inside the slack
      {translation(-2.25, -0.75), 0, Box{-3, -1, 8, 10}},
      {{-1, 0, 0, 0, -1, 0, 0, 0, 1}, 0, Box{-10, -10, 0, 0}},
      {{1, 0, 0, 0, 1, 0, 0, 0, 2}, 0, Box{0, 0, 5, 5}},
      {translation(9.1e18, 0), 0, Box{9100000000000000000L, 0, 9100000000000000000L, 10}},
      {kIdentity3, big, Box{-big, -big, kLongMax, kLongMax}},
      {toward_horizon, 0, std::nullopt}, {{1, 0, 0, 0, 1, 0, 0, 0, -1}, 0, std::nullopt},
      // clang-format on
  };
  for (const Case& c : cases) EXPECT_EQ(h_bbox(unit, c.m, c.pad), c.want);
  EXPECT_TRUE(h_bbox({0, 0, 9, 9}, toward_horizon, 0));

  const auto nan_box = [&] { return h_bbox(unit, {NAN, 0, 0, 0, 1, 0, 0, 0, 1}, 0); };
  EXPECT_THAT(nan_box, throws<std::invalid_argument>(kNaNToInteger));
  // Growing by `pad` past the 64-bit range used to wrap silently; it is now out of range.
  // clang-format off
  const std::pair<Mat3, long> too_big[] = {{{1e18, 0, 0, 0, 1, 0, 0, 0, 1}, 0}, {translation(INFINITY, 0), 0},
      {kIdentity3, kLongMax}, {kIdentity3, kLongMin}, {translation(-9.1e18, 0), 2e17},
      {translation(9.2e18, 0), 0}};
  // clang-format on
  for (const auto& [m, pad] : too_big)
    EXPECT_THAT([&] { (void)h_bbox(unit, m, pad); }, throws<std::overflow_error>(kInfToInteger));
}

TEST_F(Xform, EveryKindMapsItsPointsAndSetsItsFormat) {
  const std::vector<Point> sq{{0, 0}, {100, 0}, {100, 100}, {0, 100}};
  const std::vector<Point> pin{{10, 10}, {90, 20}, {120, 130}, {5, 80}};
  const Step r1000 = with(reformat_step(1000, 1000), {{4, 2}});  // aspect 2: fit ≠ fill
  const double h = 1000.0 / 1080;
  const Step box = with(reformat_step(0, 0), {{1, 1}, {5, 500}});
  const Step by_scale = with(reformat_step(0, 0), {{1, 2}, {9, 0.5}, {10, 0.5}});
  // (0, 0) → (5, 7), then an extra 4×4 whose rows/columns 0, 1, 3 are x ↦ 2x + 1, y ↦ 3y.
  const Step extra{2, 0, 1, 0, 0, 5, 7, 2, 0, 99, 1, 0, 3, 99, 0, 99, 99, 99, 99, 0, 0, 99, 1};
  struct Case {
    const char* what;
    Step step;
    long width, height;  // the format before the step
    std::vector<std::pair<Point, Point>> maps;
    std::pair<long, long> format{};  // the format after the step, when not 0 × 0
  } cases[] = {
      // clang-format off
      {"rotate 90 about (50, 50)", transform_step(0, 0, 90, 1, 1, 0, 0, 0, 50, 50), 100, 100,
       {{{100, 50}, {50, 100}}, {{50, 50}, {50, 50}}}},
      {"scale about a centre, then shift", transform_step(5, -1, 0, 2, 3, 0, 0, 0, 10, 20), 1, 1,
       {{{10, 20}, {15, 19}}, {{11, 21}, {17, 22}}}},
      {"skew, x first", transform_step(0, 0, 0, 1, 1, 2, 0.5, 0), 1, 1,
       {{{1, 0}, {1, 0.5}}, {{0, 1}, {2, 2}}}},
      {"skew, y first", transform_step(0, 0, 0, 1, 1, 2, 0.5, 1), 1, 1,
       {{{1, 0}, {2, 0.5}}, {{0, 1}, {2, 1}}}},
      {"resize none", with(r1000, {{11, 0}}), 1920, 1080, {{{1920, 1080}, {1920, 1080}}}},
      {"resize width", with(r1000, {{11, 1}}), 1920, 1080, {{{1920, 1080}, {1000, 1125}}}},
      {"resize height", with(r1000, {{11, 2}}), 1920, 1080, {{{1920, 1080}, {960 * h, 1000}}}},
      {"resize fit", with(r1000, {{11, 3}}), 1920, 1080, {{{1920, 1080}, {960 * h, 1000}}}},
      {"resize fill", with(r1000, {{11, 4}}), 1920, 1080, {{{1920, 1080}, {1000, 1125}}}},
      {"resize distort", with(r1000, {{11, 5}}), 1920, 1080, {{{1920, 1080}, {1000, 1000}}}},
      {"resize NaN", with(r1000, {{11, NAN}}), 1920, 1080, {{{8, 9}, {8, 9}}}},
      {"letterbox, centred", with(reformat_step(1000, 1000, 3), {{12, 1}}), 2000, 1000,
       {{{0, 0}, {0, 250}}, {{2000, 1000}, {1000, 750}}}},
      {"mirror x", with(reformat_step(4, 2), {{14, 1}}), 4, 2, {{{0, 0}, {4, 0}}}},
      {"mirror y", with(reformat_step(4, 2), {{13, 1}}), 4, 2, {{{1, 0}, {1, 2}}}},
      {"turn", with(reformat_step(2, 4), {{15, 1}}), 4, 2, {{{0, 0}, {2, 0}}, {{4, 2}, {0, 4}}}},
      {"turn and mirror x: transpose", with(reformat_step(2, 4), {{15, 1}, {14, 1}}), 4, 2,
       {{{3, 1}, {1, 3}}}},
      {"turn, then scale by the turned width", with(reformat_step(6, 12, 1), {{15, 1}}), 4, 2,
       {{{0, 0}, {6, 0}}}},
      {"pin, 0 pairs", cornerpin_step({}, {}), 1, 1, {{{3, 4}, {3, 4}}}},
      {"pin, 1 pair", cornerpin_step({{0, 0}}, {{5, 7}}), 1, 1,
       {{{0, 0}, {5, 7}}, {{1, 1}, {6, 8}}}},
      {"pin, 2 pairs: scale √2, turn 45°", cornerpin_step({{0, 0}, {1, 1}}, {{10, 10}, {10, 12}}),
       1, 1, {{{0, 0}, {10, 10}}, {{1, 1}, {10, 12}}, {{1, 0}, {11, 11}}}},
      {"pin, 3 pairs", cornerpin_step({sq[0], sq[1], sq[3]}, {{1, 2}, {201, 12}, {31, 152}}), 1, 1,
       {{sq[0], {1, 2}}, {sq[1], {201, 12}}, {sq[3], {31, 152}}, {sq[2], {231, 162}}}},
      {"pin, 4 pairs", cornerpin_step(sq, pin), 1, 1,
       {{sq[0], pin[0]}, {sq[1], pin[1]}, {sq[2], pin[2]}, {sq[3], pin[3]}}},
      {"pin, inverted", cornerpin_step(sq, pin, 1), 1, 1,
       {{pin[0], sq[0]}, {pin[1], sq[1]}, {pin[2], sq[2]}, {pin[3], sq[3]}}},
      {"pin, extra matrix", extra, 1, 1, {{{0, 0}, {11, 21}}, {{1, 0}, {13, 21}}}},
      {"by width: 281.25", box, 1920, 1080, {}, {500, 281}},
      {"562.5: ties go to even", with(box, {{8, 0.5}}), 1920, 1080, {}, {500, 562}},
      {"given height, truncated", with(box, {{7, 1}, {6, 300.9}}), 1920, 1080, {}, {500, 300}},
      {"at least one pixel", with(box, {{5, 0}}), 1920, 1080, {}, {1, 1}},
      {"ih·ow > 2⁶³", with(box, {{5, 4e9}}), 3000000000L, 3000000000L, {},
       {4000000000L, 4000000000L}},
      {"by scale: 1.5 and 2.5 → 2", by_scale, 3, 5, {}, {2, 2}},
      {"by scale 0", with(by_scale, {{9, 0}}), 3, 5, {}, {1, 2}},
      {"unknown type: a format", with(reformat_step(640, 480), {{1, NAN}}), 1, 1, {}, {640, 480}},
      {"the kind truncates", with(reformat_step(10, 10), {{0, 1.9}}), 1, 1, {}, {10, 10}},
      // clang-format on
  };
  for (const Case& c : cases) {
    const Stepped s = run(c.step, c.width, c.height);
    ASSERT_TRUE(s.m) << c.what;
    EXPECT_FALSE(s.crop && c.step[0] != 1) << c.what;
    EXPECT_TRUE(!c.format.first || std::pair(s.width, s.height) == c.format) << c.what;
    for (auto [from, to] : c.maps) {
      const Point p = map_point(*s.m, from);
      EXPECT_NEAR(p.x, to.x, 1e-9) << c.what << " x of (" << from.x << ", " << from.y << ")";
      EXPECT_NEAR(p.y, to.y, 1e-9) << c.what << " y of (" << from.x << ", " << from.y << ")";
    }
  }
  const Step forward = transform_step(7, -3, 33, 1.5, 0.75, 0.2, -0.1, 1, 40, 60);
  const Mat3 id = product(*run(with(forward, {{11, 1}})).m, *run(forward).m);  // inverted
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(id[i], kIdentity3[i], 1e-12);
  EXPECT_TRUE(run(reformat_step(10, 10, 0, 0)).crop);  // keep outside 0 crops
  EXPECT_FALSE(run(reformat_step(10, 10, 0, 1)).crop);
}

TEST_F(Xform, UnrepresentableStepsHaveNoMatrix) {
  const Step cases[] = {
      transform_step(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1),  // inverting scale 0
      cornerpin_step({{1, 1}, {1, 1}}, {{0, 0}, {5, 5}}),
      cornerpin_step({{0, 0}, {1, 1}, {2, 2}}, {{0, 0}, {1, 0}, {0, 1}}),
      cornerpin_step({{3, 3}, {3, 3}, {3, 3}, {3, 3}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}),
      cornerpin_step({{0, 0}, {1, 0}, {0, 1}}, {{2, 2}, {2, 2}, {2, 2}}, 1),  // singular result
      with(reformat_step(50, 60, 2), {{4, 0}}),  // aspect 0, height-based: sx = sy / 0
  };
  for (const Step& s : cases) EXPECT_FALSE(run(s).m);
  // Scaling by a zero side used to give an infinite or NaN matrix; the other side still maps.
  for (auto [w, h] : {std::pair{0L, 100L}, {100L, 0L}, {0L, 0L}})
    for (double resize : {1, 2, 3, 4, 5}) {
      const Stepped s = run(reformat_step(50, 60, resize, 0), w, h);
      for (double v : s.m.value_or(Mat3{})) EXPECT_TRUE(std::isfinite(v));
      EXPECT_EQ(s.width * 100 + s.height, 5060);
      EXPECT_TRUE(s.crop);
    }
  EXPECT_FALSE(run(reformat_step(50, 60, 1), 0, 100).m);
  EXPECT_FALSE(run(reformat_step(50, 60, 3), 0, 0).m);
  EXPECT_TRUE(run(reformat_step(50, 60, 2), 0, 100).m);
}

TEST_F(Xform, MalformedStepsRaiseTheirMessages) {
  const char *pin = "cornerpin step: 3 + 4 n + 16 values", *kind = "unknown step kind";
  struct Case {
    Step step;
    const char* message;
  } cases[] = {
      // clang-format off
      {Step(11, 0.0), "transform step: 12 values"}, {{1, 0, 0}, "reformat step: 17 values"},
      {{2, 0}, pin}, {with(Step(20, 0.0), {{0, 2}}), pin},   // n = 0 wants 19
      {with(Step(15, 0.0), {{0, 2}, {2, -1}}), pin},         // 4n + 19 = 15: E before the vector
      {with(Step(19, 0.0), {{0, 2}, {2, 536870912}}), pin},  // 4n + 19 beyond int32
      {{2, 0, NAN}, pin}, {{2, 0, INFINITY}, pin}, {{2, 0, 4294967296.0}, pin},
      {{3}, kind}, {{-1}, kind}, {{NAN}, kind}, {{-INFINITY}, kind},
      {{4294967296.0}, kind},  // would wrap to kind 0 as an int32
      {reformat_step(NAN, 10), kNaNToInteger},
      // clang-format on
  };
  for (const Case& c : cases)
    EXPECT_THAT([&] { run(c.step); }, throws<std::invalid_argument>(c.message));
  for (const Step& s : {reformat_step(1e19, 10),
                        with(reformat_step(0, 0), {{1, 2}, {9, INFINITY}, {10, INFINITY}})})
    EXPECT_THAT([&] { run(s); }, throws<std::overflow_error>(kInfToInteger));
  EXPECT_THROW(run({}), std::out_of_range);
  EXPECT_EQ(map_point(*run(with(cornerpin_step({{0, 0}}, {{5, 7}}), {{2, 1.75}})).m, {0, 0}).x,
            5);  // fractional pair counts truncate
  EXPECT_TRUE(run(with(cornerpin_step({}, {}), {{2, -0.5}})).m);
}

const std::vector<double> kNoMatrix = transform_step(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1);
const std::vector<double> kPerspective = cornerpin_step({{0, 0}, {100, 0}, {100, 100}, {0, 100}},
                                                        {{10, 10}, {90, 20}, {120, 130}, {5, 80}});

enum Flags { kTight = 1, kExact = 2, kCropFormat = 4, kKeepInput = 8 };

PlanIn square(Chain steps, int flags = 0, Box bbox = {0, 0, 100, 100}, long size = 100) {
  const auto has = [flags](int f) -> bool { return flags & f; };
  return {std::move(steps), {}, size, size, bbox, false, has(kExact), has(kTight), has(kCropFormat),
          has(kKeepInput)};
}

// `d` takes output pixels (y up) back to the input pixels the chain's matrix `m` maps onto them.
void expect_draw_inverts(const Draw& d, const Mat3& m, const Box& in_box, const Box& out_box) {
  ASSERT_TRUE(d.kind == DRAW_AFFINE || d.kind == DRAW_PROJECTIVE || d.kind == DRAW_IDENTITY)
      << d.kind;
  const double ih = in_box[3] - in_box[1];
  const double ow = out_box[2] - out_box[0], oh = out_box[3] - out_box[1];
  for (Point q : {Point{0.5, 0.5}, Point{ow / 3, oh / 2}, Point{ow - 0.5, oh - 2.5}}) {
    const Point up{q.x, oh - q.y};
    Point in = d.kind == DRAW_IDENTITY     ? up
               : d.kind == DRAW_PROJECTIVE ? map_point(d.m, up)
                                           : Point{d.m[0] * up.x + d.m[1] * up.y + d.m[2],
                                                   d.m[3] * up.x + d.m[4] * up.y + d.m[5]};
    in = {in.x + in_box[0], (d.kind == DRAW_IDENTITY ? oh : ih) - in.y + in_box[1]};
    const Point out = map_point(m, in);
    EXPECT_NEAR(out.x, q.x + out_box[0], 1e-6) << "kind " << d.kind;
    EXPECT_NEAR(out.y, q.y + out_box[1], 1e-6) << "kind " << d.kind;
  }
  if (d.kind == DRAW_PROJECTIVE) {
    EXPECT_GT(d.m[6] * ow / 2 + d.m[7] * oh / 2 + d.m[8], 0);
  }
}

TEST_F(Xform, TotalMultipliesStepsAndCarriesCrops) {
  const auto crop50 = reformat_step(50, 40, 0, 0), crop30 = reformat_step(30, 30, 0, 0);
  const TotalOut scaled = total({transform_step(0, 0, 0, 2, 2), transform_step(10, 0)}, 100, 100);
  EXPECT_NEAR(map_point(*scaled.matrix, {1, 1}).x, 12, 1e-12);  // 2x + 10, not 2(x + 10)
  const TotalOut out = total({crop50, transform_step(100, 0), crop30}, 100, 100);
  EXPECT_EQ(std::tuple(out.width, out.height, out.has_crop, out.crop),
            std::tuple(30, 30, true, Box{100, 0, 101, 1}));  // shifted out: the near corner
  const TotalOut ended = total({crop50, kNoMatrix, reformat_step(7, 7)}, 100, 100);
  EXPECT_EQ(std::tuple(ended.matrix.has_value(), ended.width, ended.height, ended.crop),
            std::tuple(false, 50, 40, Box{0, 0, 50, 40}));
}

TEST_F(Xform, MotionBlurSampleCounts) {
  const Mat3 still = kIdentity3, moved = translation(10, 0);
  const Mat3 horizon{1, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(mblur_samples(1, {still, still, still}, 100, 100), 0);
  EXPECT_EQ(mblur_samples(1, {still, moved}, 100, 100), 11);
  EXPECT_EQ(mblur_samples(0.5, {still, std::nullopt, horizon, moved}, 100, 100), 6);
  EXPECT_EQ(mblur_samples(1e15, {still, moved}, 100, 100), 128);
  // Scaled by 1.1 about any corner, the opposite one travels furthest: 10·√2 pixels.
  for (double x : {0, 100})
    for (double y : {0, 100})
      EXPECT_EQ(
          mblur_samples(0.567, {still, Mat3{1.1, 0, -x / 10, 0, 1.1, -y / 10, 0, 0, 1}}, 100, 100),
          10);
  const auto nan_count = [&] { return mblur_samples(NAN, {still, moved}, 100, 100); };
  EXPECT_THAT(nan_count, throws<std::invalid_argument>(kNaNToInteger));
}

TEST_F(Xform, NoOpChainsAreIdentity) {
  for (const Chain& steps : {Chain{}, Chain{transform_step(10, -3), transform_step(-10, 3)}}) {
    const PlanOut p = plan(square(steps));
    EXPECT_TRUE(p.identity && p.width == 0 && p.bbox == Box{} && p.draw.m == Mat3{});
  }
  EXPECT_FALSE(plan(square({reformat_step(100, 100, 0, 0)})).identity);  // a crop
  EXPECT_FALSE(plan(square({transform_step(0, 0, 0, 2, 1)})).identity);  // only m[0] differs
  PlanIn still = square({});
  still.samples = {{}, {}};
  EXPECT_FALSE(plan(still).identity);
}

TEST_F(Xform, OutputBoxesAndDraws) {
  const Chain crop_then_shift{reformat_step(50, 50, 0, 0), transform_step(10, 0)};
  const auto shift = [](double x, double y) { return Chain{transform_step(x, y)}; };
  const Chain scale_1e6{transform_step(0, 0, 0, 1e6, 1e6)};
  const Box far_left{-500, 20, 60, 80};
  PlanIn blurred = square({transform_step(5, 0)});
  blurred.samples = {{transform_step(0, 0)}, {transform_step(10, 0)}};
  blurred.outside_flag = true;
  struct Case {
    const char* what;
    PlanIn in;
    Box want;
    int kind;
    bool whole_pixel;
  } cases[] = {
      // clang-format off
      {"whole-pixel shift: no pad", square(shift(10, 5)), {0, 0, 110, 105}, 0, true},
      {"tight whole-pixel shift", square(shift(10, 5), kTight), {10, 5, 110, 105}, 3, false},
      {"sub-pixel shift: padded", square(shift(0.5, 0)), {-1, -1, 102, 101}, 0, false},
      {"sub-pixel shift, exact", square(shift(0.5, 0), kExact), {0, 0, 101, 100}, 0, false},
      {"affine between offset windows", square({transform_step(3, -7, 30, 1.25, 0.8, 0.1, 0, 0,
       50, 50)}, 0, {10, 20, 70, 90}), {-3, -6, 100, 100}, 0, false},
      {"projective", square({kPerspective}), {0, 0, 121, 131}, 1, false},
      {"projective, negated (w < 0: no box): drawn the same way round",
       square({with(kPerspective, {{19, -1}, {24, -1}, {34, -1}})}), {-100, -100, 200, 200}, 1,
       false},
      {"a step's crop", square(crop_then_shift), {0, 0, 60, 50}, 0, true},
      {"a step's crop, tight", square(crop_then_shift, kTight), {10, 0, 60, 50}, 0, true},
      {"crop to format", square(shift(10, 0), kTight | kCropFormat), {10, 0, 100, 100}, 0, true},
      {"cropped away: one pixel", square(shift(150, 0), kTight | kCropFormat), {150, 0, 151, 1}, 0,
       true},
      {"scale 1e6 about the centre", square({transform_step(0, 0, 0, 1e6, 1e6, 0, 0, 0, 50, 50)}),
       {-100, -100, 200, 200}, 0, false},
      {"scale 1e6 about the origin", square(scale_1e6), {-1, -1, 200, 200}, 0, false},
      {"keep input", square(shift(1000, 0), kTight | kKeepInput), {0, 0, 1001, 100}, 0, true},
      {"no matrix: the input window within three formats", square({kNoMatrix}, 0, far_left),
       {-100, 20, 60, 80}, 2, false},
      {"no matrix, keep input", square({kNoMatrix}, kKeepInput, far_left), far_left, 2, false},
      {"motion blur: the samples widen the box", blurred, {0, 0, 110, 100}, 0, true},
      {"too ill-conditioned to invert", square({transform_step(0, 0, 0, 1e-9, 1e-9)}),
       {-1, -1, 100, 100}, 2, false},
      // clang-format on
  };
  for (const Case& c : cases) {
    const PlanOut p = plan(c.in);
    EXPECT_EQ(std::tuple(p.identity, p.bbox, p.draw.kind, p.draw.whole_pixel, p.outside_flag,
                         p.sample_draws.size()),
              std::tuple(false, c.want, c.kind, c.whole_pixel, c.in.tight || c.in.outside_flag,
                         c.in.samples.size()))
        << c.what;
    for (std::size_t i = 0; i < p.sample_draws.size(); ++i)
      expect_draw_inverts(p.sample_draws[i], *total(c.in.samples[i], 100, 100).matrix, c.in.bbox,
                          p.bbox);
    if (c.kind != DRAW_NOTHING) {
      expect_draw_inverts(p.draw, *total(c.in.steps, 100, 100).matrix, c.in.bbox, p.bbox);
    } else {
      EXPECT_EQ(p.draw.m, (Mat3{0, 0, -1e9, 0, 0, -1e9, 0, 0, 0})) << c.what;
    }
  }
}

TEST_F(Xform, HugeFormatsDoNotWrap) {
  // (−W, −H, 2W, 2H) used to overflow for formats beyond half the 64-bit range.
  const Box all{kLongMin, kLongMin, kLongMax, kLongMax};
  EXPECT_EQ(plan(square({kNoMatrix}, 0, all, kLongMax)).bbox,
            (Box{-kLongMax, -kLongMax, kLongMax, kLongMax}));
  const Box b = plan(square({kNoMatrix}, 0, all, kLongMin)).bbox;  // nonsense: one defined pixel
  EXPECT_EQ(b[2] - b[0], 1);
  const PlanOut p = plan(square({transform_step(1, 0)}, 0, {0, 0, 10, 10}, kLongMax));
  EXPECT_EQ(std::pair(p.bbox, p.draw.kind), std::pair(Box{0, 0, kLongMax, kLongMax}, DRAW_AFFINE));
}

CropPlan crop(Edges e, bool clip = false, bool reformat = false) {
  return crop_plan(e[0], e[1], e[2], e[3], clip, {0, 0, 100, 80}, reformat, 100, 80);
}

TEST_F(Xform, WindowsEdgesPlacementAndConversionErrors) {
  struct Case {
    Edges in;
    bool clip, reformat;
    Edges box;
    Box window;
    std::array<long, 2> format{100, 80};
    Box place{};
  } cases[] = {
      {{10.25, 20.75, 50.5, 60.5}, false, false, {10.25, 20.75, 50.5, 60.5}, {10, 21, 50, 60}},
      {{0.4, 0.4, 0.6, 0.6}, false, false, {0.4, 0.4, 0.6, 0.6}, {0, 0, 1, 1}},  // under a pixel
      {{30, 40, 10, 5}, false, false, {30, 40, 30, 40}, {30, 40, 31, 41}},       // far edges held
      {{-20, -5, 150, 60}, true, false, {0, 0, 100, 60}, {0, 0, 100, 60}},       // clipped
      {{NAN, 0, 10, 10}, true, false, {0, 0, 10, 10}, {0, 0, 10, 10}},           // NaN clipped away
      {{2.5, 3.5, 6, 9}, false, true, {2.5, 3.5, 6, 9}, {2, 3, 6, 9}, {4, 6}, {0, -1, 4, 5}},
      {{0.5, 0.5, 0.6, 0.6}, false, true, {0.5, 0.5, 0.6, 0.6}, {0, 0, 1, 1}, {1, 1}, {0, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    const CropPlan p = crop(c.in, c.clip, c.reformat);
    EXPECT_EQ(std::tie(p.box, p.window, p.format, p.place),
              std::tie(c.box, c.window, c.format, c.reformat ? c.place : c.window));
  }
  // x from the window's left, y down from its top (window y1 = 60).
  EXPECT_EQ(crop({10.25, 20.75, 50.5, 60.5}).edges, (Edges{0.25, -0.5, 40.5, 39.25}));

  EXPECT_THAT([] { crop({NAN, 0, 10, 10}); }, throws<std::invalid_argument>(kNaNToInteger));
  for (Edges e : {Edges{0, 0, INFINITY, 10}, Edges{-9e18, 0, 9e18, 10}})
    EXPECT_THAT([&] { crop(e, false, true); }, throws<std::overflow_error>(kInfToInteger));
}

}  // namespace
