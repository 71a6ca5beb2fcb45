#include "quarn/xform/plan.h"

#include "support/blas.h"
#include "support/matrices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace {

using namespace qn::xform;
using namespace qn_test;
using Box = std::array<long, 4>;
using Chain = std::vector<std::vector<double>>;
constexpr long kLongMax = std::numeric_limits<long>::max();
constexpr long kLongMin = std::numeric_limits<long>::min();

class XformPlan : public WithHostBlas {};

const std::vector<double> kNoMatrix = transform_step(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1);
const std::vector<double> kPerspective = cornerpin_step({{0, 0}, {100, 0}, {100, 100}, {0, 100}},
                                                        {{10, 10}, {90, 20}, {120, 130}, {5, 80}});

enum Flags { kTight = 1, kExact = 2, kCropFormat = 4, kKeepInput = 8 };

PlanIn square(Chain steps, int flags = 0, Box bbox = {0, 0, 100, 100}) {
  PlanIn in;
  in.steps = std::move(steps);
  in.width = in.height = 100;
  in.bbox = bbox;
  in.tight = flags & kTight;
  in.exact = flags & kExact;
  in.crop_format = flags & kCropFormat;
  in.keep_input = flags & kKeepInput;
  return in;
}

// `d` takes each output pixel back to the input pixel that the chain's matrix `m` maps onto
// it, through the y-up window coordinates the draw works in.
void expect_draw_inverts(const Draw& d, const Mat3& m, const Box& in_box, const Box& out_box) {
  ASSERT_TRUE(d.kind == 0 || d.kind == 1 || d.kind == 3) << d.kind;
  const double ih = in_box[3] - in_box[1];
  const double ow = out_box[2] - out_box[0], oh = out_box[3] - out_box[1];
  for (Point q : {Point{0.5, 0.5}, Point{ow / 3, oh / 2}, Point{ow - 0.5, oh - 2.5}}) {
    const Point up{q.x, oh - q.y};
    Point in = d.kind == 3   ? up
               : d.kind == 1 ? map_point(d.m, up)
                             : Point{d.m[0] * up.x + d.m[1] * up.y + d.m[2],
                                     d.m[3] * up.x + d.m[4] * up.y + d.m[5]};
    in = {in.x + in_box[0], (d.kind == 3 ? oh : ih) - in.y + in_box[1]};
    const Point out = map_point(m, in);
    EXPECT_NEAR(out.x, q.x + out_box[0], 1e-6) << "kind " << d.kind;
    EXPECT_NEAR(out.y, q.y + out_box[1], 1e-6) << "kind " << d.kind;
  }
  if (d.kind == 1) {
    EXPECT_GT(d.m[6] * ow / 2 + d.m[7] * oh / 2 + d.m[8], 0);
  }
}

TEST_F(XformPlan, TotalMultipliesStepsAndCarriesCrops) {
  const auto crop50 = reformat_step(50, 40, 0, 0), crop30 = reformat_step(30, 30, 0, 0);
  struct Case {
    Chain steps;
    bool has_matrix;
    long width, height;
    std::optional<Box> crop;
    Point from, to;  // through the matrix, when there is one
  } cases[] = {
      // clang-format off
      // Later steps multiply on the left: x ↦ 2x + 10, not 2(x + 10).
      {{transform_step(0, 0, 0, 2, 2), transform_step(10, 0)}, true, 100, 100, {}, {1, 1}, {12, 2}},
      {{crop50, transform_step(10, 0)}, true, 50, 40, Box{10, 0, 60, 40}, {0, 0}, {10, 0}},
      {{crop50, transform_step(10, 0), crop30}, true, 30, 30, Box{10, 0, 30, 30}, {0, 0}, {10, 0}},
      // Shifted out of the next format: one pixel at the clamped near corner.
      {{crop50, transform_step(100, 0), crop30}, true, 30, 30, Box{100, 0, 101, 1}, {0, 0},
       {100, 0}},
      // A step without a matrix ends the chain with the format and crop reached.
      {{crop50, kNoMatrix, reformat_step(7, 7)}, false, 50, 40, Box{0, 0, 50, 40}, {}, {}},
      // clang-format on
  };
  for (const Case& c : cases) {
    const TotalOut t = total(c.steps, 100, 100);
    EXPECT_EQ(std::tuple(t.matrix.has_value(), t.width, t.height, t.has_crop ? t.crop : Box{}),
              std::tuple(c.has_matrix, c.width, c.height, c.crop.value_or(Box{})));
    if (!t.matrix) continue;
    EXPECT_NEAR(map_point(*t.matrix, c.from).x, c.to.x, 1e-12);
    EXPECT_NEAR(map_point(*t.matrix, c.from).y, c.to.y, 1e-12);
  }
}

TEST_F(XformPlan, MotionBlurSampleCounts) {
  const Mat3 still = kIdentity3, moved = translation(10, 0);
  const Mat3 horizon{1, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(mblur_samples(1, {still, still, still}, 100, 100), 0);
  EXPECT_EQ(mblur_samples(1, {still, moved}, 100, 100), 11);
  EXPECT_EQ(mblur_samples(0.5, {still, std::nullopt, horizon, moved}, 100, 100), 6);
  EXPECT_EQ(mblur_samples(1e15, {still, moved}, 100, 100), 128);
  // The corner (100, 100) travels furthest under a scale about the origin.
  EXPECT_EQ(mblur_samples(1, {still, scaling(1.1, 1)}, 100, 100), 11);
  EXPECT_THAT(
      [&] {
        (void)mblur_samples(NAN, {still, moved}, 100, 100);
      },
      throws<std::invalid_argument>(kNaNToInteger));
}

TEST_F(XformPlan, NoOpChainsAreIdentity) {
  for (const Chain& steps : {Chain{}, Chain{transform_step(10, -3), transform_step(-10, 3)}}) {
    const PlanOut p = plan(square(steps));
    EXPECT_TRUE(p.identity && p.width == 0 && p.bbox == Box{} && p.draw.m == Mat3{});
  }
  EXPECT_FALSE(plan(square({reformat_step(100, 100, 0, 0)})).identity);  // a crop
  PlanIn still = square({});
  still.samples = {{}, {}};
  EXPECT_FALSE(plan(still).identity);
}

TEST_F(XformPlan, OutputBoxesAndDraws) {
  const Chain crop_then_shift{reformat_step(50, 50, 0, 0), transform_step(10, 0)};
  const auto shift = [](double x, double y) { return Chain{transform_step(x, y)}; };
  const Chain scale_1e6{transform_step(0, 0, 0, 1e6, 1e6)};
  const Box far_left{-500, 20, 60, 80};
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
      {"too ill-conditioned to invert", square({transform_step(0, 0, 0, 1e-9, 1e-9)}),
       {-1, -1, 100, 100}, 2, false},
      // clang-format on
  };
  for (const Case& c : cases) {
    const PlanOut p = plan(c.in);
    EXPECT_EQ(std::tuple(p.identity, p.bbox, p.draw.kind, p.draw.whole_pixel, p.outside_flag),
              std::tuple(false, c.want, c.kind, c.whole_pixel, c.in.tight))
        << c.what;
    if (c.kind != 2) {
      expect_draw_inverts(p.draw, *total(c.in.steps, 100, 100).matrix, c.in.bbox, p.bbox);
    } else {
      EXPECT_EQ(p.draw.m, (Mat3{0, 0, -1e9, 0, 0, -1e9, 0, 0, 0})) << c.what;
    }
  }
}

TEST_F(XformPlan, NegatedProjectiveMatrixDrawsTheSameWayRound) {
  const auto flipped = with(kPerspective, {{19, -1}, {24, -1}, {34, -1}});  // E = −I
  const PlanOut p = plan(square({flipped}));
  ASSERT_EQ(p.draw.kind, 1);
  expect_draw_inverts(p.draw, *total({flipped}, 100, 100).matrix, {0, 0, 100, 100}, p.bbox);
}

TEST_F(XformPlan, MotionBlurSamplesBoundTheBoxAndDrawEach) {
  PlanIn in = square({transform_step(5, 0)});
  in.outside_flag = true;
  in.samples = {{transform_step(0, 0)}, {transform_step(10, 0)}, {kNoMatrix}};
  const PlanOut p = plan(in);
  EXPECT_EQ(p.bbox, (Box{0, 0, 110, 100}));
  EXPECT_TRUE(p.outside_flag);
  ASSERT_EQ(p.sample_draws.size(), 3u);
  expect_draw_inverts(p.draw, translation(5, 0), in.bbox, p.bbox);
  expect_draw_inverts(p.sample_draws[0], kIdentity3, in.bbox, p.bbox);
  expect_draw_inverts(p.sample_draws[1], translation(10, 0), in.bbox, p.bbox);
  EXPECT_EQ(p.sample_draws[2].kind, 2);
}

TEST_F(XformPlan, HugeFormatsDoNotWrap) {
  // (−W, −H, 2W, 2H) used to overflow for formats beyond half the 64-bit range.
  PlanIn in = square({kNoMatrix}, 0, {kLongMin, kLongMin, kLongMax, kLongMax});
  in.width = in.height = kLongMax;
  EXPECT_EQ(plan(in).bbox, (Box{-kLongMax, -kLongMax, kLongMax, kLongMax}));
  in.width = in.height = kLongMin;  // a nonsensical format still gives one defined pixel
  const Box b = plan(in).bbox;
  EXPECT_EQ(b[2] - b[0], 1);

  PlanIn shifted = square({transform_step(1, 0)}, 0, {0, 0, 10, 10});
  shifted.width = shifted.height = kLongMax;
  const PlanOut p = plan(shifted);
  EXPECT_EQ(p.bbox, (Box{0, 0, kLongMax, kLongMax}));
  EXPECT_EQ(p.draw.kind, 0);
}

}  // namespace
