#include "quarn/nodes/merge/pickers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

namespace {

using namespace qn::nodes::merge;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr int IMAX = std::numeric_limits<int>::max();

TEST(Pickers, DissolveAndSwitchClampEveryDouble) {
  const std::tuple<double, int, int, int, double> dissolve[] = {
      {1.25, 3, 1, 2, 0.25}, {5, 3, 2, 2, 0},
      {-1, 3, 0, 1, 0},      {0.5, 1, 0, 0, 0},
      {0, 3, 0, 1, 0},       {NaN, 3, 0, 1, 0},
      {INF, 3, 2, 2, 0},     {-INF, 3, 0, 1, 0},
      {1.99, 3, 1, 2, 0.99}, {2, 3, 2, 2, 0},
      {0.5, -5, 0, 0, 0},    {1e300, IMAX, IMAX - 1, IMAX - 1, 0},
      {0.75, 2, 0, 1, 0.75}, {2147483645.5, IMAX, 2147483645, 2147483646, 0.5}};
  for (const auto& [t, count, lo, hi, frac] : dissolve) {
    const DissolvePick p = dissolve_pick(t, count);
    EXPECT_EQ(std::tuple(p.lo, p.hi), std::tuple(lo, hi)) << t << " " << count;
    EXPECT_DOUBLE_EQ(p.frac, frac) << t << " " << count;
  }
  const std::tuple<double, int, int> sw[] = {{2.9, 5, 2},    {7, 5, 4},
                                             {-0.5, 5, 0},   {3, 0, 0},
                                             {NaN, 5, 0},    {INF, 5, 0},
                                             {-INF, 5, 0},   {1e300, 5, 4},
                                             {-1e300, 5, 0}, {0.999, 5, 0},
                                             {1, 5, 1},      {3.5, 1, 0},
                                             {4, 5, 4},      {1e10, IMAX, IMAX - 1},
                                             {3, -2, 0}};
  for (const auto& [which, count, index] : sw)
    EXPECT_EQ(switch_index(which, count), index) << which << " " << count;
}

TEST(Pickers, ConstantColorMasks) {
  const std::array<double, 4> grey = {0.5, 0.5, 0.5, 0.5};
  const std::tuple<const char*, std::array<float, 4>> cases[] = {
      {"alpha", {0, 0, 0, 0.5f}},
      {"rgb", {0.5f, 0.5f, 0.5f, 0}},
      {"none", {0, 0, 0, 0}},
      {"RGB", {0.5f, 0.5f, 0.5f, 0.5f}},
      {"rgba", {0.5f, 0.5f, 0.5f, 0.5f}},
      {" rgb", {0.5f, 0.5f, 0.5f, 0.5f}}};
  for (const auto& [channels, expected] : cases)
    EXPECT_EQ(constant_color(grey, channels), expected) << channels;
  // Products are narrowed after masking; a masked NaN stays NaN as it always has.
  const auto c = constant_color({1e300, NaN, 0.1, 1}, "rgb");
  EXPECT_EQ(c[0], INF);
  EXPECT_TRUE(std::isnan(c[1]));
  EXPECT_EQ(c[2], 0.1f);
  EXPECT_TRUE(std::isnan(constant_color({NaN, 0, 0, 0}, "alpha")[0]));
}

}  // namespace
