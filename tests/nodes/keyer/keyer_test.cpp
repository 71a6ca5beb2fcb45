#include "quarn/nodes/keyer/keyer.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace {

using namespace qn::nodes::keyer;
using V3 = std::array<double, 3>;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr long long LMAX = std::numeric_limits<long long>::max();

TEST(Keyer, RangesLevelsAndScreenChannels) {
  EXPECT_EQ(keyer_range({0.8, 0.2, 0.5, 0.1}), (std::array<double, 4>{0.2, 0.8, 0.8, 0.8}));
  EXPECT_EQ(keyer_range({0.3, 0.1, 0.9, 0.2}), (std::array<double, 4>{0.1, 0.3, 0.3, 0.9}));
  const std::tuple<double, long long, long long, int> levels[] = {
      {1, 1, 1, 1},        {0.5, 1, 1, 2}, {1, 3, 2, 3},     {0, 1920, 1080, 10},
      {10, 1920, 1080, 9}, {1, 256, 1, 9}, {1, 257, 1, 10},  {1, 1, 129, 9},
      {NaN, 1, 1, 2},      {1, -5, -9, 1}, {1, LMAX, 1, 10}, {1e300, LMAX, LMAX, 1}};
  for (const auto& [size, w, h, n] : levels)
    EXPECT_EQ(fill_levels(size, w, h), n) << size << " " << w;
  const std::tuple<V3, double, int, V3, V3> screens[] = {
      {{0.1, 0.8, 0.2}, 0.5, 1, {0, 1, 0}, {0.5, 0, 0.5}},
      {{0.1, 0.2, 0.9}, 0.25, 2, {0, 0, 1}, {0.25, 0.75, 0}},
      {{0.9, 0.2, 0.1}, 0.25, 0, {1, 0, 0}, {0, 0.25, 0.75}},
      {{0.5, 0.2, 0.5}, 0.5, 2, {0, 0, 1}, {0.5, 0.5, 0}},
      {{0.5, 0.5, 0.1}, 0, 1, {0, 1, 0}, {0, 0, 1}},
      {{NaN, NaN, NaN}, 1, 1, {0, 1, 0}, {1, 0, 0}}};
  for (const auto& [screen, balance, index, primary, secondary] : screens) {
    V3 p{9, 9, 9}, s{9, 9, 9};
    EXPECT_EQ(std::tuple(screen_channels(screen, balance, p, s), p, s),
              std::tuple(index, primary, secondary));
  }
}

}  // namespace
