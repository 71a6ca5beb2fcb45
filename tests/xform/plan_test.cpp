#include "quarn/xform/plan.h"

#include "support/blas.h"
#include "support/matrices.h"
#include "support/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

using qn::xform::Draw;
using qn::xform::PlanIn;
using qn::xform::PlanOut;
using qn_test::cornerpin_step;
using qn_test::map_point;
using qn_test::Mat3;
using qn_test::Point;
using qn_test::reformat_step;
using qn_test::transform_step;
using Box = std::array<long, 4>;
using Chain = std::vector<std::vector<double>>;
constexpr long kLongMax = std::numeric_limits<long>::max();
constexpr long kLongMin = std::numeric_limits<long>::min();

class XformPlan : public qn_test::WithHostBlas {};

PlanIn square(Chain steps, long size = 100) {
  PlanIn in;
  in.steps = std::move(steps);
  in.width = in.height = size;
  in.bbox = {0, 0, size, size};
  return in;
}

const std::vector<double> kNoMatrix = transform_step(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1);
const std::vector<double> kPerspective = cornerpin_step({{0, 0}, {100, 0}, {100, 100}, {0, 100}},
                                                        {{10, 10}, {90, 20}, {120, 130}, {5, 80}});

// Follows `d` from a point of the output window (pixels, y down) back into the input window,
// converting to and from the y-up coordinates the draw works in.
Point sample(const Draw& d, Point out, double ih, double oh) {
  const double up = oh - out.y;
  if (d.kind == 3) return out;
  const Point in = d.kind == 1 ? map_point(d.m, {out.x, up})
                               : Point{d.m[0] * out.x + d.m[1] * up + d.m[2],
                                       d.m[3] * out.x + d.m[4] * up + d.m[5]};
  return {in.x, ih - in.y};
}

// The draw takes every output pixel back to the input pixel that the chain's matrix `m` maps
// onto it.
void expect_draw_inverts(const Draw& d, const Mat3& m, const Box& in_box, const Box& out_box) {
  ASSERT_TRUE(d.kind == 0 || d.kind == 1 || d.kind == 3) << d.kind;
  const double ih = in_box[3] - in_box[1];
  const double ow = out_box[2] - out_box[0], oh = out_box[3] - out_box[1];
  for (Point q : {Point{0.5, 0.5}, Point{ow / 3, oh / 2}, Point{ow - 0.5, oh - 2.5}}) {
    const Point in_win = sample(d, q, ih, oh);
    const Point in_px{in_win.x + in_box[0], in_win.y + in_box[1]};
    const Point out_px = map_point(m, in_px);
    EXPECT_NEAR(out_px.x, q.x + out_box[0], 1e-6) << "kind " << d.kind;
    EXPECT_NEAR(out_px.y, q.y + out_box[1], 1e-6) << "kind " << d.kind;
  }
  if (d.kind == 1) {
    EXPECT_GT(d.m[6] * ow / 2 + d.m[7] * oh / 2 + d.m[8], 0) << "w at the output centre";
  }
}

// --- total -------------------------------------------------------------------------------------

TEST_F(XformPlan, TotalOfNoStepsIsTheIdentity) {
  const qn::xform::TotalOut t = qn::xform::total({}, 640, 480);
  ASSERT_TRUE(t.matrix);
  EXPECT_EQ(*t.matrix, qn_test::kIdentity3);
  EXPECT_EQ(t.width, 640);
  EXPECT_EQ(t.height, 480);
  EXPECT_FALSE(t.has_crop);
}

TEST_F(XformPlan, TotalMultipliesLaterStepsOnTheLeft) {
  // Scale by 2, then shift by 10: x ↦ 2x + 10 (the other order would give 2x + 20).
  const auto t = qn::xform::total({transform_step(0, 0, 0, 2, 2), transform_step(10, 0)}, 9, 9);
  ASSERT_TRUE(t.matrix);
  EXPECT_NEAR(map_point(*t.matrix, {1, 1}).x, 12, 1e-12);
}

TEST_F(XformPlan, TotalCarriesACropThroughLaterSteps) {
  const auto carried =
      qn::xform::total({reformat_step(50, 40, 0, 0), transform_step(10, 0)}, 100, 100);
  ASSERT_TRUE(carried.has_crop);
  EXPECT_EQ(carried.crop, (Box{10, 0, 60, 40}));
  EXPECT_EQ(carried.width, 50);

  const auto clamped = qn::xform::total(
      {reformat_step(50, 40, 0, 0), transform_step(10, 0), reformat_step(30, 30, 0, 0)}, 100, 100);
  ASSERT_TRUE(clamped.has_crop);
  EXPECT_EQ(clamped.crop, (Box{10, 0, 30, 30}));

  // Shifted wholly outside the next format: the crop shrinks to one pixel at its clamped near
  // corner.
  const auto outside = qn::xform::total(
      {reformat_step(50, 40, 0, 0), transform_step(100, 0), reformat_step(30, 30, 0, 0)}, 100, 100);
  EXPECT_EQ(outside.crop, (Box{100, 0, 101, 1}));
}

TEST_F(XformPlan, TotalStopsAtAStepWithoutAMatrix) {
  const auto t =
      qn::xform::total({reformat_step(50, 40, 0, 0), kNoMatrix, reformat_step(7, 7)}, 100, 100);
  EXPECT_FALSE(t.matrix);
  EXPECT_EQ(t.width, 50);
  EXPECT_EQ(t.height, 40);
  EXPECT_TRUE(t.has_crop);
  EXPECT_EQ(t.crop, (Box{0, 0, 50, 40}));
}

// --- motion-blur samples -----------------------------------------------------------------------

TEST_F(XformPlan, MotionBlurSampleCounts) {
  const Mat3 still = qn_test::kIdentity3, moved = qn_test::translation(10, 0);
  EXPECT_EQ(qn::xform::mblur_samples(1, {still, still, still}, 100, 100), 0);
  EXPECT_EQ(qn::xform::mblur_samples(1, {still, moved}, 100, 100), 11);
  EXPECT_EQ(qn::xform::mblur_samples(0.5, {still, std::nullopt, moved}, 100, 100), 6);
  EXPECT_EQ(qn::xform::mblur_samples(1000, {still, moved}, 100, 100), 128);
  EXPECT_EQ(qn::xform::mblur_samples(1e15, {still, moved}, 100, 100), 128);
  // The corner (100, 100) travels furthest under a scale about the origin.
  EXPECT_EQ(qn::xform::mblur_samples(1, {still, qn_test::scaling(1.1, 1)}, 100, 100), 11);
  // A point at the horizon is left out of its corner's path.
  const Mat3 horizon{1, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(qn::xform::mblur_samples(1, {still, horizon, moved}, 100, 100), 11);
  qn_test::expect_message<std::invalid_argument>(
      [&] {
        (void)qn::xform::mblur_samples(std::nan(""), {still, moved}, 100, 100);
      },
      "cannot convert float NaN to integer");
}

// --- plan --------------------------------------------------------------------------------------

TEST_F(XformPlan, NoOpChainsAreIdentity) {
  for (const Chain& steps : {Chain{}, Chain{transform_step(10, -3), transform_step(-10, 3)}}) {
    const PlanOut p = qn::xform::plan(square(steps));
    EXPECT_TRUE(p.identity);
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.bbox, (Box{}));
    EXPECT_EQ(p.draw.kind, 0);
    EXPECT_EQ(p.draw.m, (Mat3{}));
    EXPECT_TRUE(p.sample_draws.empty());
  }
  PlanIn reformatted = square({reformat_step(100, 100, 0, 0)});  // same size, but a crop
  EXPECT_FALSE(qn::xform::plan(reformatted).identity);
}

TEST_F(XformPlan, WholePixelShiftNeedsNoResampling) {
  const PlanIn in = square({transform_step(10, 5)});
  const PlanOut p = qn::xform::plan(in);
  EXPECT_FALSE(p.identity);
  EXPECT_EQ(p.bbox, (Box{0, 0, 110, 105}));  // not padded
  EXPECT_EQ(p.draw.kind, 0);
  EXPECT_TRUE(p.draw.whole_pixel);
  expect_draw_inverts(p.draw, qn_test::translation(10, 5), in.bbox, p.bbox);

  PlanIn tight = in;
  tight.tight = true;
  const PlanOut t = qn::xform::plan(tight);
  EXPECT_EQ(t.bbox, (Box{10, 5, 110, 105}));
  EXPECT_EQ(t.draw.kind, 3);  // the windows coincide: copy as is
  EXPECT_TRUE(t.outside_flag);
}

TEST_F(XformPlan, SubPixelShiftIsPaddedForResampling) {
  const PlanIn in = square({transform_step(0.5, 0)});
  const PlanOut p = qn::xform::plan(in);
  EXPECT_EQ(p.bbox, (Box{-1, -1, 102, 101}));
  EXPECT_EQ(p.draw.kind, 0);
  EXPECT_FALSE(p.draw.whole_pixel);
  expect_draw_inverts(p.draw, qn_test::translation(0.5, 0), in.bbox, p.bbox);

  PlanIn exact = in;
  exact.exact = true;
  EXPECT_EQ(qn::xform::plan(exact).bbox, (Box{0, 0, 101, 100}));
}

TEST_F(XformPlan, AffineDrawsBetweenOffsetWindows) {
  PlanIn in = square({transform_step(3, -7, 30, 1.25, 0.8, 0.1, 0, 0, 50, 50)});
  in.bbox = {10, 20, 70, 90};
  const PlanOut p = qn::xform::plan(in);
  ASSERT_EQ(p.draw.kind, 0);
  const auto m = qn::xform::total(in.steps, 100, 100).matrix;
  expect_draw_inverts(p.draw, *m, in.bbox, p.bbox);
}

TEST_F(XformPlan, ProjectiveDrawsFaceTheViewer) {
  const PlanIn in = square({kPerspective});
  const PlanOut p = qn::xform::plan(in);
  ASSERT_EQ(p.draw.kind, 1);
  const auto m = qn::xform::total(in.steps, 100, 100).matrix;
  expect_draw_inverts(p.draw, *m, in.bbox, p.bbox);

  // The same map with every entry negated draws the same way round.
  std::vector<double> flipped = kPerspective;
  double* e = flipped.data() + 3 + 16;
  e[0] = e[5] = e[15] = -1;
  const PlanOut q = qn::xform::plan(square({flipped}));
  ASSERT_EQ(q.draw.kind, 1);
  const auto mq = qn::xform::total({flipped}, 100, 100).matrix;
  expect_draw_inverts(q.draw, *mq, {0, 0, 100, 100}, q.bbox);
}

TEST_F(XformPlan, MotionBlurSamplesBoundTheBoxAndDrawEach) {
  PlanIn in = square({transform_step(5, 0)});
  in.samples = {{transform_step(0, 0)}, {transform_step(10, 0)}, {kNoMatrix}};
  const PlanOut p = qn::xform::plan(in);
  EXPECT_FALSE(p.identity);
  EXPECT_EQ(p.bbox, (Box{0, 0, 110, 100}));
  ASSERT_EQ(p.sample_draws.size(), 3u);
  expect_draw_inverts(p.draw, qn_test::translation(5, 0), in.bbox, p.bbox);
  expect_draw_inverts(p.sample_draws[0], qn_test::kIdentity3, in.bbox, p.bbox);
  expect_draw_inverts(p.sample_draws[1], qn_test::translation(10, 0), in.bbox, p.bbox);
  EXPECT_EQ(p.sample_draws[2].kind, 2);

  PlanIn still = square({});  // samples alone rule out the identity exit
  still.samples = {{}, {}};
  EXPECT_FALSE(qn::xform::plan(still).identity);
}

TEST_F(XformPlan, CropsCutTheOutputBox) {
  const Chain cropped{reformat_step(50, 50, 0, 0), transform_step(10, 0)};
  EXPECT_EQ(qn::xform::plan(square(cropped)).bbox, (Box{0, 0, 60, 50}));
  PlanIn tight = square(cropped);
  tight.tight = true;
  EXPECT_EQ(qn::xform::plan(tight).bbox, (Box{10, 0, 60, 50}));

  PlanIn to_format = square({transform_step(10, 0)});
  to_format.crop_format = true;
  to_format.tight = true;
  EXPECT_EQ(qn::xform::plan(to_format).bbox, (Box{10, 0, 100, 100}));

  to_format.steps = {transform_step(150, 0)};  // nothing left: one pixel
  const Box one = qn::xform::plan(to_format).bbox;
  EXPECT_EQ(one[2] - one[0], 1);
  EXPECT_EQ(one[3] - one[1], 1);
}

TEST_F(XformPlan, LooseBoxesAlwaysHoldTheFormat) {
  for (const Chain& steps :
       {Chain{transform_step(500, 500)}, Chain{transform_step(0, 0, 0, 0.1, 0.1)},
        Chain{kPerspective}, Chain{reformat_step(20, 30, 0, 0)}}) {
    PlanIn in = square(steps);
    in.bbox = {40, 40, 45, 45};
    const PlanOut p = qn::xform::plan(in);
    EXPECT_LE(p.bbox[0], 0);
    EXPECT_LE(p.bbox[1], 0);
    EXPECT_GE(p.bbox[2], p.width);
    EXPECT_GE(p.bbox[3], p.height);
  }
}

TEST_F(XformPlan, HugeScalesAreHeldToThreeFormats) {
  EXPECT_EQ(qn::xform::plan(square({transform_step(0, 0, 0, 1e6, 1e6, 0, 0, 0, 50, 50)})).bbox,
            (Box{-100, -100, 200, 200}));
  EXPECT_EQ(qn::xform::plan(square({transform_step(0, 0, 0, 1e6, 1e6)})).bbox,
            (Box{-1, -1, 200, 200}));
}

TEST_F(XformPlan, KeepInputHoldsTheInputWindow) {
  PlanIn in = square({transform_step(1000, 0)});
  in.tight = true;
  in.keep_input = true;
  const Box b = qn::xform::plan(in).bbox;
  EXPECT_LE(b[0], 0);
  EXPECT_LE(b[1], 0);
  EXPECT_GE(b[2], 100);
  EXPECT_GE(b[3], 100);
}

TEST_F(XformPlan, ChainWithoutAMatrixDrawsNothingAndBoundsItsInput) {
  PlanIn in = square({kNoMatrix});
  in.bbox = {-500, 20, 60, 80};
  const PlanOut p = qn::xform::plan(in);
  EXPECT_FALSE(p.identity);
  EXPECT_EQ(p.draw.kind, 2);
  EXPECT_EQ(p.draw.m, (Mat3{0, 0, -1e9, 0, 0, -1e9, 0, 0, 0}));
  EXPECT_EQ(p.bbox, (Box{-100, 20, 60, 80}));
  in.keep_input = true;
  EXPECT_EQ(qn::xform::plan(in).bbox, in.bbox);

  // A matrix too ill-conditioned to invert draws nothing either.
  const PlanOut flat = qn::xform::plan(square({transform_step(0, 0, 0, 1e-9, 1e-9)}));
  EXPECT_EQ(flat.draw.kind, 2);
}

TEST_F(XformPlan, HugeFormatsDoNotWrap) {
  // (−W, −H, 2W, 2H) used to overflow for formats beyond half the 64-bit range.
  PlanIn in = square({kNoMatrix});
  in.width = in.height = kLongMax;
  in.bbox = {kLongMin, kLongMin, kLongMax, kLongMax};
  EXPECT_EQ(qn::xform::plan(in).bbox, (Box{-kLongMax, -kLongMax, kLongMax, kLongMax}));

  in.width = in.height = kLongMin;  // a nonsensical format still gives one defined pixel
  const Box b = qn::xform::plan(in).bbox;
  EXPECT_EQ(b[2] - b[0], 1);

  PlanIn shifted = square({transform_step(1, 0)});
  shifted.width = shifted.height = kLongMax;
  shifted.bbox = {0, 0, 10, 10};
  const PlanOut p = qn::xform::plan(shifted);
  EXPECT_EQ(p.bbox, (Box{0, 0, kLongMax, kLongMax}));
  EXPECT_EQ(p.draw.kind, 0);
}

}  // namespace
