#include "quarn/nodes/merge/pickers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

namespace {

using namespace qn::nodes::merge;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN(),
                 INF = std::numeric_limits<double>::infinity();
constexpr int IMAX = std::numeric_limits<int>::max();

TEST(Pickers, DissolveAndSwitchTakeAnyDouble) {
  const std::tuple<double, int, int, int, double> dissolve[] = {
      {1.25, 3, 1, 2, 0.25},
      {5, 3, 2, 2, 0},
      {-1, 3, 0, 1, 0},
      {0.5, 1, 0, 0, 0},
      {NaN, 3, 0, 1, 0},
      {INF, 3, 2, 2, 0},
      {1.99, 3, 1, 2, 0.99},
      {2, 3, 2, 2, 0},
      {1e300, IMAX, IMAX - 1, IMAX - 1, 0},
      {2147483645.5, IMAX, IMAX - 2, IMAX - 1, 0.5}};
  for (const auto& [t, count, lo, hi, frac] : dissolve) {
    const DissolvePick p = dissolve_pick(t, count);
    EXPECT_EQ(std::tuple(p.lo, p.hi, p.frac), std::tuple(lo, hi, frac)) << t << " " << count;
  }
  const std::tuple<double, int, int> pick[] = {
      {2.9, 5, 2},  {7, 5, 4},     {-0.5, 5, 0},  {3, 0, 0}, {NaN, 5, 0}, {INF, 5, 0},
      {-INF, 5, 0}, {1e300, 5, 4}, {0.999, 5, 0}, {1, 5, 1}, {4, 5, 4},   {1e10, IMAX, IMAX - 1}};
  for (const auto& [which, count, index] : pick)
    EXPECT_EQ(switch_index(which, count), index) << which << " " << count;
}

TEST(Pickers, ConstantColorMasksByExactText) {
  const std::tuple<const char*, std::array<float, 4>> cases[] = {
      {"alpha", {0, 0, 0, 0.5f}},
      {"rgb", {0.5f, 0.5f, 0.5f, 0}},
      {"none", {0, 0, 0, 0}},
      {"RGB", {0.5f, 0.5f, 0.5f, 0.5f}},
      {" rgb", {0.5f, 0.5f, 0.5f, 0.5f}}};
  for (const auto& [channels, expected] : cases)
    EXPECT_EQ(constant_color({0.5, 0.5, 0.5, 0.5}, channels), expected) << channels;
  // Narrowed after masking; a masked NaN stays NaN as it always has.
  const auto c = constant_color({1e300, NaN, 0.1, 1}, "rgb");
  EXPECT_TRUE(c[0] == INF && std::isnan(c[1]) && c[2] == 0.1f && c[3] == 0);
}

}  // namespace
