#include "quarn/xform/step.h"

#include "quarn/xform/matrix.h"
#include "support/blas.h"
#include "support/matrices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace {

using namespace qn::xform;
using namespace qn_test;
using Step = std::vector<double>;

class XformStep : public WithHostBlas {};

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

TEST_F(XformStep, EveryKindMapsItsPoints) {
  const std::vector<Point> sq{{0, 0}, {100, 0}, {100, 100}, {0, 100}, {50, 50}};
  const std::vector<Point> pin{{10, 10}, {90, 20}, {120, 130}, {5, 80}};
  const std::vector<Point> sq4(sq.begin(), sq.begin() + 4);
  const Step r1000 = with(reformat_step(1000, 1000), {{4, 2}});  // aspect 2: fit ≠ fill
  const double h = 1000.0 / 1080;
  // (0, 0) → (5, 7), then a 4×4 extra matrix whose rows and columns 0, 1 and 3 form
  // [[2, 0, 1], [0, 3, 0], [0, 0, 1]]; row and column 2 are noise.
  const Step extra{2, 0, 1, 0, 0, 5, 7, 2, 0, 99, 1, 0, 3, 99, 0, 99, 99, 99, 99, 0, 0, 99, 1};
  struct Case {
    const char* what;
    Step step;
    long width, height;  // the format before the step
    std::vector<std::pair<Point, Point>> maps;
  } cases[] = {
      // clang-format off
      {"rotate 90 about (50, 50)", transform_step(0, 0, 90, 1, 1, 0, 0, 0, 50, 50), 100, 100,
       {{{100, 50}, {50, 100}}, {{50, 50}, {50, 50}}}},
      {"scale about a centre, then shift", transform_step(5, -1, 0, 2, 3, 0, 0, 0, 10, 20), 1, 1,
       {{{10, 20}, {15, 19}}, {{11, 21}, {17, 22}}}},
      {"skew, x first", transform_step(0, 0, 0, 1, 1, 1, 1, 0), 1, 1,
       {{{1, 0}, {1, 1}}, {{0, 1}, {1, 2}}}},
      {"skew, y first", transform_step(0, 0, 0, 1, 1, 1, 1, 1), 1, 1,
       {{{1, 0}, {2, 1}}, {{0, 1}, {1, 1}}}},
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
      {"pin, 2 pairs", cornerpin_step({sq[0], sq[1]}, {{10, 10}, {10, 110}}), 1, 1,
       {{sq[0], {10, 10}}, {sq[1], {10, 110}}, {sq[3], {-90, 10}}}},
      {"pin, 3 pairs", cornerpin_step({sq[0], sq[1], sq[3]}, {{1, 2}, {201, 12}, {31, 152}}), 1, 1,
       {{sq[0], {1, 2}}, {sq[1], {201, 12}}, {sq[3], {31, 152}}, {sq[2], {231, 162}}}},
      {"pin, 4 pairs", cornerpin_step(sq4, pin), 1, 1,
       {{sq[0], pin[0]}, {sq[1], pin[1]}, {sq[2], pin[2]}, {sq[3], pin[3]}}},
      {"pin, 5 pairs: the fifth ignored", cornerpin_step(sq, {pin[0], pin[1], pin[2], pin[3],
       {999, 999}}), 1, 1, {{sq[0], pin[0]}, {sq[1], pin[1]}, {sq[2], pin[2]}, {sq[3], pin[3]}}},
      {"pin, inverted", cornerpin_step(sq4, pin, 1), 1, 1,
       {{pin[0], sq[0]}, {pin[1], sq[1]}, {pin[2], sq[2]}, {pin[3], sq[3]}}},
      {"pin, extra matrix", extra, 1, 1, {{{0, 0}, {11, 21}}, {{1, 0}, {13, 21}}}},
      // clang-format on
  };
  for (const Case& c : cases) {
    const Stepped s = run(c.step, c.width, c.height);
    ASSERT_TRUE(s.m) << c.what;
    EXPECT_FALSE(s.crop && c.step[0] != 1) << c.what;
    for (auto [from, to] : c.maps) {
      const Point p = map_point(*s.m, from);
      EXPECT_NEAR(p.x, to.x, 1e-9) << c.what << " x of (" << from.x << ", " << from.y << ")";
      EXPECT_NEAR(p.y, to.y, 1e-9) << c.what << " y of (" << from.x << ", " << from.y << ")";
    }
  }
  // An inverted transform undoes the forward one.
  const Step forward = transform_step(7, -3, 33, 1.5, 0.75, 0.2, -0.1, 1, 40, 60);
  const Mat3 id = product(*run(with(forward, {{11, 1}})).m, *run(forward).m);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(id[i], kIdentity3[i], 1e-12);
}

TEST_F(XformStep, ReformatOutputFormats) {
  const Step box = with(reformat_step(0, 0), {{1, 1}, {5, 500}});
  const Step by_scale = with(reformat_step(0, 0), {{1, 2}, {9, 0.5}, {10, 0.5}});
  struct Case {
    Step step;
    long width, height, want_w, want_h;
  } cases[] = {
      // clang-format off
      {box, 1920, 1080, 500, 281},                              // 281.25
      {with(box, {{8, 0.5}}), 1920, 1080, 500, 562},            // 562.5: ties go to even
      {with(box, {{7, 1}, {6, 300.9}}), 1920, 1080, 500, 300},  // given height, truncated
      {with(box, {{5, 0}}), 1920, 1080, 1, 1},                  // at least one pixel
      {with(box, {{5, 4e9}}), 3000000000L, 3000000000L, 4000000000L, 4000000000L},  // ih·ow>2⁶³
      {by_scale, 3, 5, 2, 2},                                   // 1.5 and 2.5 → 2
      {with(by_scale, {{9, 0}}), 3, 5, 1, 2},
      {with(reformat_step(640, 480), {{1, NAN}}), 1, 1, 640, 480},  // unknown type: a format
      {with(reformat_step(10, 10), {{0, 1.9}}), 1, 1, 10, 10},  // the kind truncates
      // clang-format on
  };
  for (const Case& c : cases) {
    const Stepped s = run(c.step, c.width, c.height);
    EXPECT_EQ(std::pair(s.width, s.height), std::pair(c.want_w, c.want_h));
  }
  EXPECT_TRUE(run(reformat_step(10, 10, 0, 0)).crop);  // keep outside 0 crops
  EXPECT_FALSE(run(reformat_step(10, 10, 0, 1)).crop);
}

TEST_F(XformStep, UnrepresentableStepsHaveNoMatrix) {
  const Step cases[] = {
      transform_step(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1),  // inverting scale 0
      cornerpin_step({{1, 1}, {1, 1}}, {{0, 0}, {5, 5}}),
      cornerpin_step({{0, 0}, {1, 1}, {2, 2}}, {{0, 0}, {1, 0}, {0, 1}}),
      cornerpin_step({{3, 3}, {3, 3}, {3, 3}, {3, 3}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}),
      cornerpin_step({{0, 0}, {1, 0}, {0, 1}}, {{2, 2}, {2, 2}, {2, 2}}, 1),  // singular result
      with(reformat_step(50, 60, 2), {{4, 0}}),  // aspect 0, height-based: sx = sy / 0
  };
  for (const Step& s : cases) EXPECT_FALSE(run(s).m);
  // Scaling by the size of a zero side divides by zero: the old matrix was infinite or NaN.
  // A scale taken from the other side alone is still a finite map.
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

TEST_F(XformStep, MalformedStepsRaiseTheirMessages) {
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
  // Fractional pair counts truncate.
  EXPECT_EQ(map_point(*run(with(cornerpin_step({{0, 0}}, {{5, 7}}), {{2, 1.75}})).m, {0, 0}).x, 5);
  EXPECT_TRUE(run(with(cornerpin_step({}, {}), {{2, -0.5}})).m);
}

}  // namespace
