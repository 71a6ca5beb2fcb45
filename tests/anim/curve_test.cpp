#include "quarn/anim/curve.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "support/throws.h"

namespace {

using namespace qn::anim;
using testing::DoubleEq;
using testing::ElementsAre;
using Times = std::vector<std::pair<double, double>>;  // (time, value) per key

std::vector<Key> keys_in(std::uint8_t mode, const Times& tv) {
  std::vector<Key> keys;
  for (const auto& [t, v] : tv) keys.push_back(Key{t, v, mode});
  return keys;
}
Curve curve(std::uint8_t mode, const Times& tv, bool extrapolate = false) {
  return Curve(keys_in(mode, tv), extrapolate);
}

auto near(const std::vector<double>& want) {
  return testing::Pointwise(testing::DoubleNear(1e-12), want);
}
void expect_values(const Curve& c, std::vector<double> times, const std::vector<double>& want) {
  for (double& t : times) t = c.value(t);
  EXPECT_THAT(times, near(want));
}

TEST(CurveValue, InterpolatesStepsAndExtrapolatesOnlyWhenAsked) {
  expect_values(curve(KEY_LINEAR, {{0, 0}, {10, 10}}), {5, 20, -10}, {5, 10, 0});
  expect_values(curve(KEY_LINEAR, {{0, 0}, {10, 10}}, true), {20, -10}, {20, -10});
  expect_values(curve(KEY_SMOOTH, {{0, 0}, {1, 5}, {3, 1}}, true), {-2, 5}, {-10, -3});
  // No keys give 0; a single key holds on both sides whatever its mode.
  EXPECT_EQ(Curve({}, true).value(3), 0.0);
  expect_values(Curve({Key{4, 7, KEY_USER, true, true, 3, 3}}, true), {-100, 100}, {7, 7});
  // A step holds its segment; flat eases as 3 s² − 2 s³.
  expect_values(
      Curve({{0, 1, KEY_STEP}, {10, 5, KEY_LINEAR}, {20, 2, KEY_STEP}, {30, 4, KEY_LINEAR}}, false),
      {9.999999, 10, 25, 30}, {1, 5, 2, 4});
  expect_values(curve(KEY_FLAT, {{0, 0}, {10, 10}}), {7.5}, {8.4375});
  // Slopes that no longer match the keys (edited by the host) count as 0 and the ends hold.
  Curve grown = curve(KEY_LINEAR, {{0, 0}, {10, 10}}, true);
  grown.keys.push_back(Key{20, 30, KEY_LINEAR});
  expect_values(grown, {2.5, 15, 30, -5}, {1.5625, 20, 30, 0});
}

TEST(Slopes, EachModeAtAPeak) {
  const auto at_peak = [](std::uint8_t mode) { return curve(mode, {{0, 0}, {1, 5}, {3, 1}}); };
  EXPECT_THAT(at_peak(KEY_LINEAR).in, ElementsAre(5, 5, -2));
  EXPECT_THAT(at_peak(KEY_LINEAR).out, ElementsAre(5, -2, -2));
  EXPECT_THAT(at_peak(255).in, ElementsAre(5, DoubleEq(1.0 / 3), -2));  // central difference
  EXPECT_THAT(at_peak(KEY_CLAMPED_SMOOTH).in, ElementsAre(5, 0, -2));
  EXPECT_THAT(curve(KEY_CLAMPED_SMOOTH, {{0, 0}, {1, 5}, {3, 5}}).out, ElementsAre(5, 0, 0));
  EXPECT_THAT(curve(KEY_CLAMPED_SMOOTH, {{0, 0}, {1, 5}, {3, 7}}).in,
              ElementsAre(5, DoubleEq(7.0 / 3), 1));
  // User slopes replace the smooth ones where given; an incoming one alone serves both sides.
  auto keys = keys_in(KEY_USER, {{0, 0}, {1, 5}, {3, 1}, {4, 4}});
  keys[0].in_slope = keys[0].out_slope = 100;  // ignored without has_in / has_out
  keys[1] = {1, 5, KEY_USER, true, false, 9, 0};
  keys[2] = {3, 1, KEY_USER, false, true, 0, -4};
  const Curve user(keys, false);
  EXPECT_THAT(user.in, ElementsAre(5, 9, DoubleEq(-1.0 / 3), 3));
  EXPECT_THAT(user.out, ElementsAre(5, 9, -4, 3));
  // A time step of exactly 0 divides by 1e-9 (the spline of two keys: a plain difference).
  std::vector<double> in(7, 42.0), out;
  slopes(keys_in(KEY_SMOOTH, {{0, 0}, {0, 1}}), in, out);
  EXPECT_THAT(in, ElementsAre(DoubleEq(1e9), DoubleEq(1e9)));
  slopes(keys_in(KEY_CUBIC, {{1, 1}, {1, 4}}), in, out);
  EXPECT_THAT(out, ElementsAre(3, 3));
}

// From scipy 1.10.1: s = scipy.interpolate.CubicSpline(t, v, bc_type='natural'); s(t, 1), s(x).
// A Hermite segment with the spline's slopes is the spline itself, so `value` matches s(x).
TEST(CubicSlopes, MatchTheNaturalSplineComputedIndependently) {
  const Times tv{{0, 0}, {1, 2}, {3, -1}, {4.5, 0.5}, {7, 3}};
  const Curve five = curve(KEY_CUBIC, tv);
  EXPECT_THAT(five.in, near({2.7852839931153186, 0.42943201376936313, -0.6471600688468159,
                             1.5679862306368333, 0.7160068846815835}));
  expect_values(five, {0.5, 2.2, 4.0, 6.1},
                {1.2944814974182446, 0.32483304647160094, -0.3092369477911647, 2.3224688468158345});
  EXPECT_THAT(curve(KEY_CUBIC, {{1, 1}, {3, 5}}).in, ElementsAre(2, 2));
  // The spline runs over all keys whatever their modes: only key 2 is cubic here.
  auto mixed = keys_in(KEY_LINEAR, tv);
  mixed[2].mode = KEY_CUBIC;
  EXPECT_THAT(Curve(mixed, false).in, near({2, 2, -0.6471600688468159, 1, 1}));
  // Refusals. Times 0, 1, 0: the middle row's diagonal 2 (1 + -1) is 0 when it is the pivot.
  for (const auto& [mode, tv, why] :
       {std::tuple(KEY_LINEAR, Times{{1, 0}, {2, 1}, {2, 3}}, "equal key times"),
        std::tuple(KEY_CUBIC, Times{{0, 0}, {1, 1}, {0, 3}}, "ZeroDivisionError")})
    EXPECT_THAT([&] { curve(mode, tv); }, qn_test::throws<NotCompilable>(why));
  // The check ends at the last key: a stale key with an equal time past the end is not read.
  std::vector<Key> stale = keys_in(KEY_LINEAR, {{0, 0}, {1, 1}, {1, 2}});
  stale.pop_back();
  EXPECT_NO_THROW(Curve(std::move(stale), false));
}

}  // namespace
