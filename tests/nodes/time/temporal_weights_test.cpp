#include "quarn/nodes/time/temporal_weights.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using namespace qn::nodes::time;
using Weights = std::vector<std::pair<long long, double>>;
using testing::DoubleEq;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;

constexpr long long kMin = std::numeric_limits<long long>::min();
constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double total(const Weights& w) {
  return std::accumulate(w.begin(), w.end(), 0.0, [](double s, auto& e) { return s + e.second; });
}

TEST(BoxWeights, NormalisedOverlapsWithABoundedWindow) {
  EXPECT_THAT(box_weights(10, 1), ElementsAre(Pair(10, 1.0)));
  EXPECT_THAT(box_weights(10.25, 1), ElementsAre(Pair(10, 0.75), Pair(11, 0.25)));
  // Frame 12 is visited but its overlap is 0: a window edge on a boundary adds no entry.
  const double third = 1.0 / 3;
  EXPECT_THAT(box_weights(10, 3), ElementsAre(Pair(9, DoubleEq(third)), Pair(10, DoubleEq(third)),
                                              Pair(11, DoubleEq(third))));
  const Weights w = box_weights(0.3, 7.7);  // -3.55 .. 4.15
  ASSERT_EQ(w.size(), 9u);
  EXPECT_NEAR(w.front().second, 0.05 / 7.7, 1e-15);
  EXPECT_NEAR(total(w), 1.0, 1e-15);
  // Widths below one frame (and NaN) give one frame; huge ones stop at 256 frames.
  for (double width : {0.0, -4.0, kNaN})
    EXPECT_THAT(box_weights(10, width), ElementsAre(Pair(10, 1.0)));
  const Weights centred = box_weights(0, 1e12), offset = box_weights(0.25, kInf);
  EXPECT_EQ(std::tuple(centred.size(), centred.front().first, offset.size(), offset.back().first),
            std::tuple(255u, -127, 256u, 128));
  EXPECT_DOUBLE_EQ(centred[100].second, 1.0 / MAX_BOX_WIDTH);
  // Centres that are not finite give nothing. Near the ends of int64 a double is spaced 1024
  // or more apart, so even the widest window has both edges on the centre and covers no frame:
  // the walk must end (its last frame may be the largest int64) with nothing in it.
  for (double centre : {kNaN, kInf, -kInf, 1e300, 0x1p63 - 4096, 0x1p63, -0x1p63, -0x1p63 + 2048})
    EXPECT_THAT(box_weights(centre, 255), IsEmpty()) << centre;
}

TEST(ShutterWeights, CountsSamplesPerFrameByMode) {
  EXPECT_THAT(shutter_weights(10, 1, 0.5, 0, 0), ElementsAre(Pair(10, 1.0)));
  EXPECT_THAT(shutter_weights(10, 3, 1, 0, 0), ElementsAre(Pair(10, 2.0), Pair(11, 1.0)));
  EXPECT_THAT(shutter_weights(10, 5, 2, 1, 0),
              ElementsAre(Pair(10, 1.0), Pair(11, 2.0), Pair(12, 2.0)));
  EXPECT_THAT(shutter_weights(-10, 3, 2, 2, 0),
              ElementsAre(Pair(-12, 1.0), Pair(-11, 1.0), Pair(-10, 1.0)));
  // One sample (or fewer asked) sits at the shutter's middle, halves rounding up.
  EXPECT_THAT(shutter_weights(10, 0, 1, 1, 0), ElementsAre(Pair(11, 1.0)));
  EXPECT_THAT(shutter_weights(10, -5, 1, 2, 0), ElementsAre(Pair(10, 1.0)));
  // Other modes start at frame + offset.
  EXPECT_THAT(shutter_weights(10, 2, 0.5, 3, -0.25), ElementsAre(Pair(10, 2.0)));
  EXPECT_THAT(shutter_weights(10, 2, 0.5, 1, -0.25), ElementsAre(Pair(10, 1.0), Pair(11, 1.0)));
  EXPECT_THAT(shutter_weights(10, 3, 1, -1, 0.6), ElementsAre(Pair(11, 2.0), Pair(12, 1.0)));
}

TEST(ShutterWeights, BoundedCountsAndNonFiniteOrHugeTimes) {
  // Samples at 0, 1, ..., 1023 once the count is bounded: one per frame.
  const Weights w = shutter_weights(0, kMax, MAX_SHUTTER_SAMPLES - 1, 1, 0);
  ASSERT_EQ(w.size(), size_t(MAX_SHUTTER_SAMPLES));
  EXPECT_EQ(w.back(), std::make_pair(MAX_SHUTTER_SAMPLES - 1, 1.0));
  EXPECT_EQ(total(shutter_weights(5, 1LL << 40, 0.5, 0, 0)), double(MAX_SHUTTER_SAMPLES));
  // Samples at times that are not finite land nowhere; huge ones saturate.
  EXPECT_THAT(shutter_weights(kNaN, 4, 1, 0, 0), IsEmpty());
  EXPECT_THAT(shutter_weights(kInf, 1, 1, 0, 0), IsEmpty());
  EXPECT_THAT(shutter_weights(10, 3, kInf, 1, 0), IsEmpty());  // 0 * inf is NaN, 10 + inf is inf
  EXPECT_THAT(shutter_weights(10, 2, 1, 9, kNaN), IsEmpty());
  EXPECT_THAT(shutter_weights(1e300, 3, 1, 0, 0), ElementsAre(Pair(kMax, 3.0)));
  EXPECT_THAT(shutter_weights(-1e300, 2, 1, 0, 0), ElementsAre(Pair(kMin, 2.0)));
  EXPECT_THAT(shutter_weights(0, 2, 1e300, 1, 0), ElementsAre(Pair(0, 1.0), Pair(kMax, 1.0)));
}

}  // namespace
