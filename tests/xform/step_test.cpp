#include "quarn/xform/step.h"

#include "quarn/xform/matrix.h"
#include "support/blas.h"
#include "support/matrices.h"
#include "support/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

using qn_test::cornerpin_step;
using qn_test::expect_message;
using qn_test::map_point;
using qn_test::Mat3;
using qn_test::Point;
using qn_test::reformat_step;
using qn_test::transform_step;
using Step = std::vector<double>;

class XformStep : public qn_test::WithHostBlas {};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Stepped {
  std::optional<Mat3> m;
  long width, height;
  bool crop;
};

Stepped run(const Step& step, long width = 100, long height = 100) {
  Stepped s{std::nullopt, width, height, true};  // crop must be cleared on entry
  s.m = qn::xform::step_matrix(step, s.width, s.height, s.crop);
  return s;
}

void expect_matrix_near(const Mat3& got, const Mat3& want, double tol = 1e-12) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(got[i], want[i], tol) << "entry " << i;
}

void expect_maps(const Mat3& m, Point from, Point to, double tol = 1e-9) {
  const Point p = map_point(m, from);
  EXPECT_NEAR(p.x, to.x, tol) << "from (" << from.x << ", " << from.y << ")";
  EXPECT_NEAR(p.y, to.y, tol) << "from (" << from.x << ", " << from.y << ")";
}

// --- transform ---------------------------------------------------------------------------------

TEST_F(XformStep, TransformOfUnitScaleIsTheIdentity) {
  const Stepped s = run(transform_step(0, 0));
  ASSERT_TRUE(s.m);
  expect_matrix_near(*s.m, qn_test::kIdentity3);
  EXPECT_FALSE(s.crop);
  EXPECT_EQ(s.width, 100);
}

TEST_F(XformStep, TransformRotatesScalesAndShiftsAboutItsCentre) {
  const Stepped quarter = run(transform_step(0, 0, 90, 1, 1, 0, 0, 0, 50, 50));
  ASSERT_TRUE(quarter.m);
  expect_maps(*quarter.m, {100, 50}, {50, 100});
  expect_maps(*quarter.m, {50, 50}, {50, 50});

  // Scale 2 × 3 about (10, 20), then shift by (5, −1): p ↦ S (p − c) + c + t.
  const Stepped scaled = run(transform_step(5, -1, 0, 2, 3, 0, 0, 0, 10, 20));
  ASSERT_TRUE(scaled.m);
  expect_maps(*scaled.m, {10, 20}, {15, 19});
  expect_maps(*scaled.m, {11, 21}, {17, 22});
}

TEST_F(XformStep, SkewOrderChoosesWhichShearComesFirst) {
  const Stepped x_first = run(transform_step(0, 0, 0, 1, 1, 1, 1, 0));
  const Stepped y_first = run(transform_step(0, 0, 0, 1, 1, 1, 1, 1));
  ASSERT_TRUE(x_first.m && y_first.m);
  expect_matrix_near(*x_first.m, {1, 1, 0, 1, 2, 0, 0, 0, 1});
  expect_matrix_near(*y_first.m, {2, 1, 0, 1, 1, 0, 0, 0, 1});
}

TEST_F(XformStep, InvertedTransformUndoesTheForwardOne) {
  const Step forward = transform_step(7, -3, 33, 1.5, 0.75, 0.2, -0.1, 1, 40, 60);
  Step backward = forward;
  backward[11] = 1;
  const Stepped f = run(forward), b = run(backward);
  ASSERT_TRUE(f.m && b.m);
  expect_matrix_near(qn::xform::product(*b.m, *f.m), qn_test::kIdentity3, 1e-12);

  EXPECT_FALSE(run(transform_step(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1)).m);  // scale 0: singular
}

// --- reformat ----------------------------------------------------------------------------------

TEST_F(XformStep, ReformatScalesByEveryResizeMode) {
  // 1920 × 1080 into 1000 × 1000 of pixel aspect 2: fit and fill must differ.
  const double w = 1000.0 / 1920, h = 1000.0 / 1080;
  struct Case {
    double resize;
    double sx, sy;
  } cases[] = {
      {0, 1, 1},     {1, w, 2 * w},  // width
      {2, h / 2, h},                 // height
      {3, h / 2, h},                 // fit: by width the height would be 1125 > 1000
      {4, w, 2 * w},                 // fill
      {5, w, h},                     // distort
      {7, 1, 1},     {kNaN, 1, 1},  {1e12, 1, 1},
  };
  for (const Case& c : cases) {
    Step step = reformat_step(1000, 1000, c.resize);
    step[4] = 2;
    const Stepped s = run(step, 1920, 1080);
    ASSERT_TRUE(s.m) << c.resize;
    expect_matrix_near(*s.m, {c.sx, 0, 0, 0, c.sy, 0, 0, 0, 1});
    EXPECT_EQ(s.width, 1000);
    EXPECT_EQ(s.height, 1000);
  }
}

TEST_F(XformStep, ReformatCentresTheScaledImage) {
  Step step = reformat_step(960, 540, 3);
  step[12] = 1;
  const Stepped half = run(step, 1920, 1080);
  ASSERT_TRUE(half.m);
  expect_matrix_near(*half.m, {0.5, 0, 0, 0, 0.5, 0, 0, 0, 1});
  EXPECT_EQ(half.width, 960);
  EXPECT_EQ(half.height, 540);

  const Stepped letterbox = run(reformat_step(1000, 1000, 3), 2000, 1000);
  step = reformat_step(1000, 1000, 3);
  step[12] = 1;
  const Stepped centred = run(step, 2000, 1000);
  ASSERT_TRUE(letterbox.m && centred.m);
  expect_maps(*letterbox.m, {0, 0}, {0, 0});
  expect_maps(*centred.m, {0, 0}, {0, 250});
  expect_maps(*centred.m, {2000, 1000}, {1000, 750});
}

TEST_F(XformStep, ReformatOutputTypes) {
  Step box = reformat_step(0, 0);
  box[1] = 1;
  box[5] = 500;
  EXPECT_EQ(run(box, 1920, 1080).height, 281);  // 1080 · 500 / 1920 = 281.25
  box[8] = 0.5;
  EXPECT_EQ(run(box, 1920, 1080).height, 562);  // 562.5: ties go to even
  box[7] = 1;
  box[6] = 300.9;
  EXPECT_EQ(run(box, 1920, 1080).height, 300);
  box[5] = 0;
  EXPECT_EQ(run(box, 1920, 1080).width, 1);

  Step by_scale = reformat_step(0, 0);
  by_scale[1] = 2;
  by_scale[9] = by_scale[10] = 0.5;
  const Stepped three = run(by_scale, 3, 5);  // 1.5 → 2 and 2.5 → 2: ties go to even
  EXPECT_EQ(three.width, 2);
  EXPECT_EQ(three.height, 2);
  by_scale[9] = 0;
  EXPECT_EQ(run(by_scale, 3, 5).width, 1);

  Step odd = reformat_step(640, 480);  // an unknown type reads the format fields
  odd[1] = kNaN;
  EXPECT_EQ(run(odd).width, 640);
  odd[1] = 9;
  EXPECT_EQ(run(odd).height, 480);
}

TEST_F(XformStep, ReformatMirrorsAndTurns) {
  Step mirror_x = reformat_step(4, 2);
  mirror_x[14] = 1;
  expect_maps(*run(mirror_x, 4, 2).m, {0, 0}, {4, 0});
  Step mirror_y = reformat_step(4, 2);
  mirror_y[13] = 1;
  expect_maps(*run(mirror_y, 4, 2).m, {1, 0}, {1, 2});

  Step turn = reformat_step(2, 4);
  turn[15] = 1;
  const Stepped turned = run(turn, 4, 2);
  ASSERT_TRUE(turned.m);
  expect_maps(*turned.m, {0, 0}, {2, 0});
  expect_maps(*turned.m, {4, 2}, {0, 4});
  turn[14] = 1;  // a quarter turn, then a horizontal mirror: the transpose
  expect_maps(*run(turn, 4, 2).m, {3, 1}, {1, 3});

  // The turned input is 2 wide: scaling by width to 6 triples it.
  turn = reformat_step(6, 12, 1);
  turn[15] = 1;
  expect_maps(*run(turn, 4, 2).m, {0, 0}, {6, 0});
}

TEST_F(XformStep, OnlyAReformatWithoutKeepOutsideAsksToCrop) {
  EXPECT_TRUE(run(reformat_step(10, 10, 0, 0)).crop);
  EXPECT_FALSE(run(reformat_step(10, 10, 0, 1)).crop);
  EXPECT_FALSE(run(transform_step(1, 1)).crop);
  EXPECT_FALSE(run(cornerpin_step({{0, 0}}, {{1, 1}})).crop);
}

TEST_F(XformStep, ReformatFromAnEmptyFormatHasNoMatrix) {
  // Scaling by the size of a zero side divides by zero: the old matrix was infinite or NaN.
  // A scale taken from the other side alone is still a finite map.
  for (auto [w, h] : {std::pair{0L, 100L}, {100L, 0L}, {0L, 0L}})
    for (double resize : {1, 2, 3, 4, 5}) {
      const Stepped s = run(reformat_step(50, 60, resize, 0), w, h);
      if (s.m) {
        for (double v : *s.m) EXPECT_TRUE(std::isfinite(v)) << w << "x" << h << " " << resize;
      }
      EXPECT_EQ(s.width, 50);
      EXPECT_EQ(s.height, 60);
      EXPECT_TRUE(s.crop);
    }
  EXPECT_FALSE(run(reformat_step(50, 60, 1), 0, 100).m);  // width-based from width 0
  EXPECT_FALSE(run(reformat_step(50, 60, 2), 100, 0).m);  // height-based from height 0
  EXPECT_FALSE(run(reformat_step(50, 60, 5), 0, 100).m);
  EXPECT_FALSE(run(reformat_step(50, 60, 3), 0, 0).m);
  EXPECT_TRUE(run(reformat_step(50, 60, 2), 0, 100).m);
  EXPECT_TRUE(run(reformat_step(50, 60, 0), 0, 0).m);  // no scaling: still a map

  Step flat = reformat_step(50, 60, 2);  // aspect 0, height-based: sx = sy / 0
  flat[4] = 0;
  EXPECT_FALSE(run(flat).m);
}

TEST_F(XformStep, ReformatSizesGoThroughTheGuardedConversion) {
  Step nan_width = reformat_step(kNaN, 10);
  expect_message<std::invalid_argument>([&] { run(nan_width); },
                                        "cannot convert float NaN to integer");
  Step huge = reformat_step(1e19, 10);
  expect_message<std::overflow_error>([&] { run(huge); },
                                      "cannot convert float infinity to integer");
  Step by_scale = reformat_step(0, 0);
  by_scale[1] = 2;
  by_scale[9] = by_scale[10] = INFINITY;
  expect_message<std::overflow_error>([&] { run(by_scale); },
                                      "cannot convert float infinity to integer");
}

TEST_F(XformStep, DerivedBoxHeightOfHugeFormatsDoesNotWrap) {
  // ih × ow = 1.2e19 is beyond int64; the product is formed exactly before dividing.
  Step box = reformat_step(0, 0);
  box[1] = 1;
  box[5] = 4e9;
  const Stepped s = run(box, 3000000000L, 3000000000L);
  EXPECT_EQ(s.width, 4000000000L);
  EXPECT_EQ(s.height, 4000000000L);
}

// --- corner pin --------------------------------------------------------------------------------

TEST_F(XformStep, CornerPinMapsEachFromPointToItsToPoint) {
  const std::vector<Point> from{{0, 0}, {100, 0}, {100, 100}, {0, 100}, {50, 50}};
  const std::vector<std::vector<Point>> to{
      {{5, 7}},
      {{10, 10}, {10, 110}},                      // rotation by 90° with translation
      {{1, 2}, {201, 12}, {231, 162}},            // a general affine map
      {{10, 10}, {90, 20}, {120, 130}, {5, 80}},  // a perspective
      {{10, 10}, {90, 20}, {120, 130}, {5, 80}, {999, 999}},
  };
  for (size_t n = 1; n <= 5; ++n) {
    const std::vector<Point> f(from.begin(), from.begin() + n);
    const Stepped s = run(cornerpin_step(f, to[n - 1]));
    ASSERT_TRUE(s.m) << n << " pairs";
    for (size_t i = 0; i < std::min<size_t>(n, 4); ++i) expect_maps(*s.m, f[i], to[n - 1][i]);
    if (n < 3) {  // a similarity keeps both axes the same length
      EXPECT_NEAR(std::hypot((*s.m)[0], (*s.m)[3]), std::hypot((*s.m)[1], (*s.m)[4]), 1e-12);
    }

    const Stepped inverted = run(cornerpin_step(f, to[n - 1], 1));
    ASSERT_TRUE(inverted.m);
    for (size_t i = 0; i < std::min<size_t>(n, 4); ++i)
      expect_maps(*inverted.m, to[n - 1][i], f[i]);
  }
  // The fifth pair is ignored: the centre goes where the perspective of four puts it.
  const Stepped five = run(cornerpin_step(from, to[4]));
  const Point centre = map_point(*five.m, {50, 50});
  EXPECT_LT(centre.x, 100);
  expect_maps(*run(cornerpin_step({}, {})).m, {3, 4}, {3, 4});  // no pairs: identity
}

TEST_F(XformStep, CornerPinAppliesRowsAndColumnsZeroOneThreeOfTheExtraMatrix) {
  Step step = cornerpin_step({{0, 0}}, {{5, 7}});
  double* e = step.data() + 3 + 4;
  // E = [[2, 0, 1], [0, 3, 0], [0, 0, 1]] from the used cells; the rest is noise.
  const double extra[16] = {2, 0, 99, 1, 0, 3, 99, 0, 99, 99, 99, 99, 0, 0, 99, 1};
  std::copy(extra, extra + 16, e);
  const Stepped s = run(step);
  ASSERT_TRUE(s.m);
  expect_matrix_near(*s.m, {2, 0, 11, 0, 3, 21, 0, 0, 1});  // E · translate(5, 7)
}

TEST_F(XformStep, DegenerateCornerPinsHaveNoMatrix) {
  EXPECT_FALSE(run(cornerpin_step({{1, 1}, {1, 1}}, {{0, 0}, {5, 5}})).m);
  EXPECT_FALSE(run(cornerpin_step({{0, 0}, {1, 1}, {2, 2}}, {{0, 0}, {1, 0}, {0, 1}})).m);
  EXPECT_FALSE(
      run(cornerpin_step({{3, 3}, {3, 3}, {3, 3}, {3, 3}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}})).m);
  // Invertible pairs but a singular result: everything mapped onto one point.
  EXPECT_FALSE(run(cornerpin_step({{0, 0}, {1, 0}, {0, 1}}, {{2, 2}, {2, 2}, {2, 2}}, 1)).m);
}

// --- malformed steps ---------------------------------------------------------------------------

TEST_F(XformStep, MalformedStepsRaiseTheirMessages) {
  const std::string pin = "cornerpin step: 3 + 4 n + 16 values";
  Step twenty(20, 0.0);
  twenty[0] = 2;  // n = 0 wants 19 values
  Step negative(15, 0.0);
  negative[0] = 2;
  negative[2] = -1;  // 4n + 19 = 15: the extra matrix would start before the vector
  Step far(19, 0.0);
  far[0] = 2;
  far[2] = 536870912;  // 4n + 19 beyond int32
  struct Case {
    Step step;
    std::string message;
  } cases[] = {
      {Step(11, 0.0), "transform step: 12 values"},
      {{1, 0, 0}, "reformat step: 17 values"},
      {{2, 0}, pin},
      {twenty, pin},
      {negative, pin},
      {far, pin},
      {{2, 0, kNaN}, pin},
      {{2, 0, INFINITY}, pin},
      {{2, 0, 4294967296.0}, pin},
      {{3}, "unknown step kind"},
      {{-1}, "unknown step kind"},
      {{kNaN}, "unknown step kind"},
      {{4294967296.0}, "unknown step kind"},  // would wrap to kind 0 as an int32
      {{-INFINITY}, "unknown step kind"},
  };
  for (const Case& c : cases)
    expect_message<std::invalid_argument>([&] { run(c.step); }, c.message);
  EXPECT_THROW(run({}), std::out_of_range);
}

TEST_F(XformStep, FractionalKindsAndCountsTruncate) {
  EXPECT_TRUE(run(transform_step(1, 2)).m);
  Step almost_one = reformat_step(10, 10);
  almost_one[0] = 1.9;
  EXPECT_EQ(run(almost_one).width, 10);
  Step pin = cornerpin_step({{0, 0}}, {{5, 7}});
  pin[2] = 1.75;
  expect_maps(*run(pin).m, {0, 0}, {5, 7});
  Step empty_pin = cornerpin_step({}, {});
  empty_pin[2] = -0.5;  // truncates to 0
  EXPECT_TRUE(run(empty_pin).m);
}

}  // namespace
