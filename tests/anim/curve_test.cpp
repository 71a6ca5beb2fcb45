#include "quarn/anim/curve.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using qn::anim::Curve;
using qn::anim::Key;
using testing::DoubleEq;
using testing::DoubleNear;
using testing::ElementsAre;

enum Mode : std::uint8_t { kStep = 0, kLinear, kClamped, kSmooth, kCubic, kFlat, kUser };
using Times = std::vector<std::pair<double, double>>;  // (time, value) per key

std::vector<Key> keys_in(std::uint8_t mode, const Times& tv) {
  std::vector<Key> keys;
  for (const auto& [t, v] : tv) keys.push_back(Key{t, v, mode});
  return keys;
}
Curve curve(std::uint8_t mode, const Times& tv, bool extrapolate = false) {
  return Curve(keys_in(mode, tv), extrapolate);
}

auto near(const std::vector<double>& want) { return testing::Pointwise(DoubleNear(1e-12), want); }
// `c` at each time of `ts` is the matching entry of `want`.
void expect_values(const Curve& c, std::vector<double> ts, const std::vector<double>& want) {
  for (double& t : ts) t = c.value(t);
  EXPECT_THAT(ts, near(want));
}

static_assert(std::is_base_of_v<std::runtime_error, qn::anim::NotCompilable>);  // the host's catch

TEST(CurveValue, InterpolatesStepsAndExtrapolatesOnlyWhenAsked) {
  expect_values(curve(kLinear, {{0, 0}, {10, 10}}), {5, 20, -10}, {5, 10, 0});
  expect_values(curve(kLinear, {{0, 0}, {10, 10}}, true), {20, -10}, {20, -10});
  // Along the first key's in-slope and the last key's out-slope; flat ends hold.
  expect_values(curve(kSmooth, {{0, 0}, {1, 5}, {3, 1}}, true), {-2, 5}, {-10, -3});
  expect_values(curve(kFlat, {{0, 2}, {1, 5}}, true), {9}, {5});
  // No keys give 0; a single key holds on both sides whatever its mode.
  EXPECT_EQ(Curve({}, true).value(3), 0.0);
  for (std::uint8_t mode : {kStep, kLinear, kCubic, kUser}) {
    const Curve one({Key{4, 7, mode, true, true, 3, 3}}, true);
    EXPECT_THAT(one.in, ElementsAre(0));
    expect_values(one, {-100, 100}, {7, 7});
  }
  // A step holds its segment; flat eases as 3 s² − 2 s³.
  const Curve c({{0, 1, kStep}, {10, 5, kLinear}, {20, 2, kStep}, {30, 4, kLinear}}, false);
  expect_values(c, {9.999999, 10, 25, 30}, {1, 5, 2, 4});
  expect_values(curve(kFlat, {{0, 0}, {10, 10}}), {7.5}, {8.4375});
}

TEST(CurveValue, EveryKeyTimeGivesItsValueAndBisectionFindsEverySegment) {
  // 101 linear keys on a zigzag with uneven spacing: between keys the curve is the chord.
  Times tv;
  for (int i = 0, t = -50; i <= 100; t += 1 + i % 3, ++i) tv.emplace_back(t, (i % 2 ? 3 : -1) * i);
  const Curve c = curve(kLinear, tv);
  for (size_t i = 0; i < tv.size(); ++i) {
    EXPECT_DOUBLE_EQ(c.value(tv[i].first), tv[i].second) << "key " << i;
    if (i + 1 == tv.size()) break;
    EXPECT_NEAR(c.value((tv[i].first + tv[i + 1].first) / 2), (tv[i].second + tv[i + 1].second) / 2,
                1e-9)
        << "segment " << i;
  }
}

TEST(Slopes, EachModeAtAPeak) {
  // Keys (0, 0), (1, 5), (3, 1): secants 5 and -2, central difference 1/3.
  const auto at_peak = [](std::uint8_t mode) { return curve(mode, {{0, 0}, {1, 5}, {3, 1}}); };
  EXPECT_THAT(at_peak(kLinear).in, ElementsAre(5, 5, -2));
  EXPECT_THAT(at_peak(kLinear).out, ElementsAre(5, -2, -2));
  for (std::uint8_t mode : {std::uint8_t{kSmooth}, std::uint8_t{7}, std::uint8_t{255}}) {
    EXPECT_THAT(at_peak(mode).in, ElementsAre(5, DoubleEq(1.0 / 3), -2)) << int(mode);
    EXPECT_EQ(at_peak(mode).in, at_peak(mode).out);
  }
  EXPECT_THAT(at_peak(kClamped).in, ElementsAre(5, 0, -2));
  EXPECT_THAT(curve(kClamped, {{0, 0}, {1, 5}, {3, 5}}).out, ElementsAre(5, 0, 0));
  EXPECT_THAT(curve(kClamped, {{0, 0}, {1, 5}, {3, 7}}).in, ElementsAre(5, DoubleEq(7.0 / 3), 1));
  for (std::uint8_t mode : {kStep, kFlat}) EXPECT_THAT(at_peak(mode).in, ElementsAre(0, 0, 0));

  // User slopes replace the smooth ones where given.
  auto keys = keys_in(kUser, {{0, 0}, {1, 5}, {3, 1}, {4, 4}});
  keys[0].in_slope = keys[0].out_slope = 100;   // ignored without has_in / has_out
  keys[1] = {1, 5, kUser, true, false, 9, 0};   // incoming only: used on both sides
  keys[2] = {3, 1, kUser, false, true, 0, -4};  // outgoing only: incoming stays smooth
  keys[3] = {4, 4, kUser, true, true, 1.5, -1.5};
  const Curve user(keys, false);
  EXPECT_THAT(user.in, ElementsAre(5, 9, DoubleEq(-1.0 / 3), 1.5));
  EXPECT_THAT(user.out, ElementsAre(5, 9, -4, -1.5));
}

TEST(Slopes, ZeroTimeStepsDivideByATinyStepAndOutputsAreResized) {
  std::vector<double> in(7, 42.0), out;
  qn::anim::slopes(keys_in(kSmooth, {{0, 0}, {0, 1}}), in, out);
  EXPECT_THAT(in, ElementsAre(DoubleEq(1e9), DoubleEq(1e9)));
  qn::anim::slopes(keys_in(kCubic, {{1, 1}, {1, 4}}), in, out);  // the spline's too
  EXPECT_THAT(out, ElementsAre(3, 3));
  // Out-of-order times the constructor accepts: key 1's central difference spans 0.
  EXPECT_THAT(curve(kSmooth, {{0, 0}, {1, 5}, {0, 2}}).in, ElementsAre(5, DoubleEq(2e9), 3));
  qn::anim::slopes({}, in, out);
  EXPECT_TRUE(in.empty() && out.empty());
}

// Reference values from scipy 1.10.1 (Debian python3-scipy), printed with repr():
//   s = scipy.interpolate.CubicSpline(t, v, bc_type='natural'); s(t, 1) and s(x)
// A Hermite segment with the spline's slopes is the spline itself, so `value` matches s(x).
TEST(CubicSlopes, MatchTheNaturalSplineComputedIndependently) {
  const Times tv{{0, 0}, {1, 2}, {3, -1}, {4.5, 0.5}, {7, 3}};
  const Curve five = curve(kCubic, tv);
  const std::vector<double> slopes{2.7852839931153186, 0.42943201376936313, -0.6471600688468159,
                                   1.5679862306368333, 0.7160068846815835};
  EXPECT_THAT(five.in, near(slopes));
  EXPECT_THAT(five.out, near(slopes));
  expect_values(five, {0.5, 2.2, 4.0, 6.1},
                {1.2944814974182446, 0.32483304647160094, -0.3092369477911647, 2.3224688468158345});
  const Curve three = curve(kCubic, {{0, 1}, {2, 4}, {5, 2}});
  EXPECT_THAT(three.in, near({1.9333333333333333, 0.6333333333333333, -1.3166666666666664}));
  expect_values(three, {3.5}, {3.73125});
  // Two keys make a line; so do keys on one.
  EXPECT_THAT(curve(kCubic, {{1, 1}, {3, 5}}).in, ElementsAre(2, 2));
  EXPECT_THAT(curve(kCubic, {{0, 1}, {1, 3}, {2, 5}, {4, 9}}).out, near({2, 2, 2, 2}));
  // The spline runs over all keys whatever their modes: only key 2 is cubic here.
  auto mixed = keys_in(kLinear, tv);
  mixed[2].mode = kCubic;
  EXPECT_THAT(Curve(mixed, false).in, near({2, 2, -0.6471600688468159, 1, 1}));
}

TEST(CurveRefusal, EqualNeighbouringTimesAndZeroPivots) {
  const auto refused = [](const char* why) {
    return testing::ThrowsMessage<qn::anim::NotCompilable>(testing::StrEq(why));
  };
  EXPECT_THAT([] { curve(kLinear, {{1, 0}, {2, 1}, {2, 3}}); }, refused("equal key times"));
  // Decreasing and NaN times are not detected.
  EXPECT_NO_THROW(curve(kLinear, {{2, 0}, {1, 1}}));
  EXPECT_NO_THROW(curve(kLinear, {{NAN, 0}, {NAN, 1}}));
  // Times 0, 1, 0: the middle row's diagonal 2 (1 + -1) is 0 when it becomes the pivot.
  const auto keys = keys_in(kCubic, {{0, 0}, {1, 1}, {0, 3}});
  EXPECT_THAT([&] { Curve(keys, false); }, refused("ZeroDivisionError"));
  std::vector<double> in, out;
  EXPECT_THAT([&] { qn::anim::slopes(keys, in, out); }, refused("ZeroDivisionError"));
  EXPECT_NO_THROW(curve(kSmooth, {{0, 0}, {1, 1}, {0, 3}}));
}

TEST(CurveEdited, SlopesOfTheWrongSizeCountAsZero) {
  // Eased, not linear, and extrapolation holds.
  Curve grown = curve(kLinear, {{0, 0}, {10, 10}}, true);
  grown.keys.push_back(Key{20, 30, kLinear});  // in and out still hold two slopes
  expect_values(grown, {2.5, 15, 30, -5}, {1.5625, 20, 30, 0});
  Curve shrunk = curve(kLinear, {{0, 0}, {10, 10}, {20, 30}}, true);
  shrunk.keys.pop_back();  // slopes now outnumber the keys
  expect_values(shrunk, {2.5, 11}, {1.5625, 10});
  Curve cleared = curve(kStep, {{0, 1}, {10, 2}, {20, 3}}, true);
  cleared.in.clear();
  expect_values(cleared, {15}, {2});  // a step still steps
  cleared.keys.clear();
  EXPECT_EQ(cleared.value(15), 0.0);
}

}  // namespace
