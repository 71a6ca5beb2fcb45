#include "quarn/anim/curve.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using qn::anim::Curve;
using qn::anim::Key;
using qn::anim::NotCompilable;
using testing::DoubleEq;
using testing::ElementsAre;

enum Mode : std::uint8_t { kStep = 0, kLinear, kClamped, kSmooth, kCubic, kFlat, kUser };

std::vector<Key> keys_in_mode(std::uint8_t mode, const std::vector<std::pair<double, double>>& tv) {
  std::vector<Key> keys;
  for (const auto& [t, v] : tv) keys.push_back(Key{t, v, mode});
  return keys;
}

// The message of the NotCompilable that `f` throws, or "" when it throws none.
std::string refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const NotCompilable& e) {
    return e.what();
  }
  return "";
}

static_assert(std::is_base_of_v<std::runtime_error, NotCompilable>);

TEST(CurveValue, LinearKeysInterpolateAndExtrapolateOnlyWhenAsked) {
  const auto keys = keys_in_mode(kLinear, {{0, 0}, {10, 10}});
  const Curve held(keys, false), extended(keys, true);
  EXPECT_DOUBLE_EQ(held.value(5), 5);
  EXPECT_DOUBLE_EQ(held.value(20), 10);
  EXPECT_DOUBLE_EQ(held.value(-10), 0);
  EXPECT_DOUBLE_EQ(extended.value(5), 5);
  EXPECT_DOUBLE_EQ(extended.value(20), 20);
  EXPECT_DOUBLE_EQ(extended.value(-10), -10);
}

TEST(CurveValue, ExtrapolationFollowsTheEndSlopes) {
  // In-slope of the first key and out-slope of the last: smooth ends are one-sided secants.
  const Curve c(keys_in_mode(kSmooth, {{0, 0}, {1, 5}, {3, 1}}), true);
  EXPECT_DOUBLE_EQ(c.value(-2), -10);
  EXPECT_DOUBLE_EQ(c.value(5), -3);
  // A flat end key holds even with extrapolation.
  const Curve flat(keys_in_mode(kFlat, {{0, 2}, {1, 5}}), true);
  EXPECT_DOUBLE_EQ(flat.value(-7), 2);
  EXPECT_DOUBLE_EQ(flat.value(9), 5);
}

TEST(CurveValue, StepKeyHoldsItsSegmentUpToTheNextKey) {
  std::vector<Key> keys = {{0, 1, kStep}, {10, 5, kLinear}, {20, 2, kStep}, {30, 4, kLinear}};
  const Curve c(keys, false);
  EXPECT_DOUBLE_EQ(c.value(0), 1);
  EXPECT_DOUBLE_EQ(c.value(9.999999), 1);
  EXPECT_DOUBLE_EQ(c.value(10), 5);
  EXPECT_DOUBLE_EQ(c.value(25), 2);
  EXPECT_DOUBLE_EQ(c.value(30), 4);
  // The segment after a linear key runs towards the step key's value; the step key's slope is 0.
  EXPECT_DOUBLE_EQ(c.in[2], 0);
  EXPECT_LT(c.value(15), 5);
  EXPECT_GT(c.value(15), 2);
}

TEST(CurveValue, FlatKeysEaseInAndOut) {
  const Curve c(keys_in_mode(kFlat, {{0, 0}, {10, 10}}), false);
  EXPECT_THAT(c.in, ElementsAre(0, 0));
  EXPECT_THAT(c.out, ElementsAre(0, 0));
  EXPECT_DOUBLE_EQ(c.value(5), 5);
  EXPECT_DOUBLE_EQ(c.value(2.5), 1.5625);  // (3 s^2 - 2 s^3) * 10 at s = 1/4
  EXPECT_DOUBLE_EQ(c.value(7.5), 8.4375);
}

TEST(CurveValue, EveryKeyTimeGivesThatKeysValueAndBisectionFindsEverySegment) {
  // 101 linear keys on a zigzag with uneven spacing: between keys the curve is the chord.
  std::vector<std::pair<double, double>> tv;
  double t = -50;
  for (int i = 0; i <= 100; ++i) {
    tv.emplace_back(t, (i % 2 ? 3.0 : -1.0) * i);
    t += 0.5 + (i % 3);
  }
  const Curve c(keys_in_mode(kLinear, tv), false);
  for (size_t i = 0; i < tv.size(); ++i) {
    EXPECT_DOUBLE_EQ(c.value(tv[i].first), tv[i].second) << "key " << i;
    if (i + 1 == tv.size()) break;
    const double mid = (tv[i].first + tv[i + 1].first) / 2;
    EXPECT_NEAR(c.value(mid), (tv[i].second + tv[i + 1].second) / 2, 1e-9) << "segment " << i;
  }
}

TEST(CurveValue, NoKeysGiveZeroAndOneKeyHoldsEverywhere) {
  const Curve empty({}, true);
  EXPECT_TRUE(empty.in.empty());
  EXPECT_TRUE(empty.out.empty());
  EXPECT_EQ(empty.value(3), 0.0);
  for (std::uint8_t mode : {kStep, kLinear, kCubic, kUser}) {
    Key key{4, 7, mode, true, true, 3, 3};
    const Curve one({key}, true);
    EXPECT_THAT(one.in, ElementsAre(0));
    EXPECT_THAT(one.out, ElementsAre(0));
    EXPECT_EQ(one.value(-100), 7);
    EXPECT_EQ(one.value(4), 7);
    EXPECT_EQ(one.value(100), 7);
  }
}

TEST(Slopes, LinearUsesTheSecantOnEachSide) {
  const Curve c(keys_in_mode(kLinear, {{0, 0}, {1, 5}, {3, 1}}), false);
  EXPECT_THAT(c.in, ElementsAre(5, 5, -2));
  EXPECT_THAT(c.out, ElementsAre(5, -2, -2));
}

TEST(Slopes, SmoothUsesCentralDifferencesAndModesAbove6Too) {
  for (std::uint8_t mode : {std::uint8_t{kSmooth}, std::uint8_t{7}, std::uint8_t{255}}) {
    const Curve c(keys_in_mode(mode, {{0, 0}, {1, 5}, {3, 1}}), false);
    EXPECT_THAT(c.in, ElementsAre(5, DoubleEq(1.0 / 3), -2)) << int(mode);
    EXPECT_EQ(c.in, c.out);
  }
}

TEST(Slopes, ClampedSmoothIsZeroAtExtremaOnly) {
  const Curve peak(keys_in_mode(kClamped, {{0, 0}, {1, 5}, {3, 1}}), false);
  EXPECT_THAT(peak.in, ElementsAre(5, 0, -2));
  const Curve plateau(keys_in_mode(kClamped, {{0, 0}, {1, 5}, {3, 5}}), false);
  EXPECT_THAT(plateau.out, ElementsAre(5, 0, 0));
  const Curve rising(keys_in_mode(kClamped, {{0, 0}, {1, 5}, {3, 7}}), false);
  EXPECT_THAT(rising.in, ElementsAre(5, DoubleEq(7.0 / 3), 1));
}

TEST(Slopes, UserSlopesReplaceTheSmoothOnes) {
  auto keys = keys_in_mode(kUser, {{0, 0}, {1, 5}, {3, 1}, {4, 4}});
  keys[1].has_in = true;  // incoming only: used on both sides
  keys[1].in_slope = 9;
  keys[2].has_out = true;  // outgoing only: incoming stays smooth
  keys[2].out_slope = -4;
  keys[3].has_in = keys[3].has_out = true;
  keys[3].in_slope = 1.5;
  keys[3].out_slope = -1.5;
  keys[0].in_slope = keys[0].out_slope = 100;  // ignored without has_in / has_out
  const Curve c(keys, false);
  EXPECT_THAT(c.in, ElementsAre(5, 9, DoubleEq(-1.0 / 3), 1.5));
  EXPECT_THAT(c.out, ElementsAre(5, 9, -4, -1.5));
}

TEST(Slopes, ZeroTimeStepsDivideByATinyStepInstead) {
  std::vector<double> in, out;
  qn::anim::slopes(keys_in_mode(kSmooth, {{0, 0}, {0, 1}}), in, out);
  EXPECT_THAT(in, ElementsAre(DoubleEq(1e9), DoubleEq(1e9)));
  // Out-of-order times the constructor accepts: the central difference of key 1 spans 0.
  const Curve c(keys_in_mode(kSmooth, {{0, 0}, {1, 5}, {0, 2}}), false);
  EXPECT_THAT(c.in, ElementsAre(5, DoubleEq(2e9), 3));
}

TEST(Slopes, OverwriteAndResizeTheOutputs) {
  std::vector<double> in(7, 42.0), out;
  qn::anim::slopes(keys_in_mode(kLinear, {{0, 0}, {2, 4}}), in, out);
  EXPECT_THAT(in, ElementsAre(2, 2));
  EXPECT_THAT(out, ElementsAre(2, 2));
  qn::anim::slopes({}, in, out);
  EXPECT_TRUE(in.empty());
  EXPECT_TRUE(out.empty());
}

TEST(CubicSlopes, KeysOnALineGetTheLinesSlope) {
  const Curve c(keys_in_mode(kCubic, {{0, 1}, {1, 3}, {2, 5}, {4, 9}}), false);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(c.in[i], 2, 1e-12) << i;
    EXPECT_NEAR(c.out[i], 2, 1e-12) << i;
  }
  EXPECT_NEAR(c.value(3), 7, 1e-12);
}

// Reference values from scipy 1.10.1 (Debian python3-scipy):
//   s = scipy.interpolate.CubicSpline(t, v, bc_type='natural'); s(t, 1) and s(x)
// printed with repr(); a Hermite segment with the spline's slopes is the spline itself, so
// `value` between keys matches s(x).
TEST(CubicSlopes, MatchTheNaturalSplineComputedIndependently) {
  const Curve five(keys_in_mode(kCubic, {{0, 0}, {1, 2}, {3, -1}, {4.5, 0.5}, {7, 3}}), false);
  const double slope5[] = {2.7852839931153186, 0.42943201376936313, -0.6471600688468159,
                           1.5679862306368333, 0.7160068846815835};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_NEAR(five.in[i], slope5[i], 1e-12) << i;
    EXPECT_EQ(five.in[i], five.out[i]);
  }
  EXPECT_NEAR(five.value(0.5), 1.2944814974182446, 1e-12);
  EXPECT_NEAR(five.value(2.2), 0.32483304647160094, 1e-12);
  EXPECT_NEAR(five.value(4.0), -0.3092369477911647, 1e-12);
  EXPECT_NEAR(five.value(6.1), 2.3224688468158345, 1e-12);

  const Curve three(keys_in_mode(kCubic, {{0, 1}, {2, 4}, {5, 2}}), false);
  EXPECT_THAT(three.in, ElementsAre(DoubleEq(1.9333333333333333), DoubleEq(0.6333333333333333),
                                    DoubleEq(-1.3166666666666664)));
  EXPECT_NEAR(three.value(1.0), 2.825, 1e-12);
  EXPECT_NEAR(three.value(3.5), 3.73125, 1e-12);
}

TEST(CubicSlopes, SplineRunsOverAllKeysWhateverTheirModes) {
  // Same keys as above; only the middle key is cubic and it still gets the five-key spline slope.
  std::vector<Key> keys = keys_in_mode(kLinear, {{0, 0}, {1, 2}, {3, -1}, {4.5, 0.5}, {7, 3}});
  keys[2].mode = kCubic;
  const Curve c(keys, false);
  EXPECT_NEAR(c.in[2], -0.6471600688468159, 1e-12);
  EXPECT_DOUBLE_EQ(c.in[1], 2);  // linear neighbour: secant from key 0
}

TEST(CubicSlopes, TwoKeysUseTheSecantOrTheRiseWhenTimesAreEqual) {
  const Curve c(keys_in_mode(kCubic, {{1, 1}, {3, 5}}), false);
  EXPECT_THAT(c.in, ElementsAre(2, 2));
  std::vector<double> in, out;
  qn::anim::slopes(keys_in_mode(kCubic, {{1, 1}, {1, 4}}), in, out);
  EXPECT_THAT(out, ElementsAre(3, 3));
}

TEST(CurveRefusal, EqualNeighbouringTimes) {
  EXPECT_EQ(refusal([] {
              Curve(keys_in_mode(kLinear, {{1, 0}, {2, 1}, {2, 3}}), false);
            }),
            "equal key times");
  // Decreasing and NaN times are not detected.
  EXPECT_EQ(refusal([] { Curve(keys_in_mode(kLinear, {{2, 0}, {1, 1}}), false); }), "");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(refusal([nan] { Curve(keys_in_mode(kLinear, {{nan, 0}, {nan, 1}}), false); }), "");
}

TEST(CurveRefusal, ZeroPivotInTheSpline) {
  // Times 0, 1, 0: the middle row's diagonal 2 (1 + -1) is 0 when it becomes the pivot.
  const auto keys = keys_in_mode(kCubic, {{0, 0}, {1, 1}, {0, 3}});
  EXPECT_EQ(refusal([&] { Curve(keys, false); }), "ZeroDivisionError");
  std::vector<double> in, out;
  EXPECT_EQ(refusal([&] { qn::anim::slopes(keys, in, out); }), "ZeroDivisionError");
  // The same keys without a cubic key never solve the spline.
  EXPECT_EQ(refusal([] { Curve(keys_in_mode(kSmooth, {{0, 0}, {1, 1}, {0, 3}}), false); }), "");
}

TEST(CurveEdited, SlopesOfTheWrongSizeCountAsZero) {
  Curve c(keys_in_mode(kLinear, {{0, 0}, {10, 10}}), true);
  c.keys.push_back(Key{20, 30, kLinear});  // in and out still hold two slopes
  EXPECT_DOUBLE_EQ(c.value(2.5), 1.5625);  // eased, not linear
  EXPECT_DOUBLE_EQ(c.value(15), 20);
  EXPECT_DOUBLE_EQ(c.value(30), 30);  // extrapolation holds
  EXPECT_DOUBLE_EQ(c.value(-5), 0);

  Curve shrunk(keys_in_mode(kLinear, {{0, 0}, {10, 10}, {20, 30}}), true);
  shrunk.keys.pop_back();  // slopes now outnumber the keys
  EXPECT_DOUBLE_EQ(shrunk.value(2.5), 1.5625);
  EXPECT_DOUBLE_EQ(shrunk.value(11), 10);

  Curve cleared(keys_in_mode(kStep, {{0, 1}, {10, 2}, {20, 3}}), true);
  cleared.in.clear();
  EXPECT_DOUBLE_EQ(cleared.value(15), 2);  // a step still steps
  cleared.keys.clear();
  EXPECT_EQ(cleared.value(15), 0.0);
}

}  // namespace
