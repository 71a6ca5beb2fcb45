#include "quarn/nodes/time/temporal_weights.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

using namespace qn::nodes::time;
using Weights = std::vector<std::pair<long long, double>>;
using testing::DoubleEq;
using testing::ElementsAre;
using testing::Pair;

constexpr long long kMin = std::numeric_limits<long long>::min();
constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double total(const Weights& w) {
  double s = 0;
  for (const auto& [frame, weight] : w) s += weight;
  return s;
}

bool ascending(const Weights& w) {
  for (size_t i = 1; i < w.size(); ++i)
    if (w[i - 1].first >= w[i].first) return false;
  return true;
}

TEST(BoxWeights, OverlapsWithTheWindowNormalised) {
  EXPECT_THAT(box_weights(10, 1), ElementsAre(Pair(10, DoubleEq(1.0))));
  EXPECT_THAT(box_weights(10.25, 1),
              ElementsAre(Pair(10, DoubleEq(0.75)), Pair(11, DoubleEq(0.25))));
  EXPECT_THAT(box_weights(-3.5, 2), ElementsAre(Pair(-4, DoubleEq(0.5)), Pair(-3, DoubleEq(0.5))));
}

TEST(BoxWeights, AnEdgeOnAFrameBoundaryAddsNoEntry) {
  // Frame 12 is visited (floor(11.5 + 0.5)) but its overlap is 0.
  EXPECT_THAT(box_weights(10, 3),
              ElementsAre(Pair(9, DoubleEq(1.0 / 3)), Pair(10, DoubleEq(1.0 / 3)),
                          Pair(11, DoubleEq(1.0 / 3))));
}

TEST(BoxWeights, NarrowestWindowIsOneFrame) {
  EXPECT_THAT(box_weights(10, 0), ElementsAre(Pair(10, DoubleEq(1.0))));
  EXPECT_THAT(box_weights(10, -4), ElementsAre(Pair(10, DoubleEq(1.0))));
  EXPECT_THAT(box_weights(10, kNaN), ElementsAre(Pair(10, DoubleEq(1.0))));
}

TEST(BoxWeights, ManyFramesSumToOne) {
  const Weights w = box_weights(0.3, 7.7);
  ASSERT_EQ(w.size(), 9u);  // -3.55 .. 4.15 touches -4 .. 4
  EXPECT_EQ(w.front().first, -4);
  EXPECT_EQ(w.back().first, 4);
  EXPECT_NEAR(w.front().second, 0.05 / 7.7, 1e-15);
  EXPECT_NEAR(w.back().second, 0.65 / 7.7, 1e-15);
  EXPECT_NEAR(total(w), 1.0, 1e-15);
}

TEST(BoxWeights, EnormousWidthIsBoundedTo256Frames) {
  const Weights centred = box_weights(0, 1e12);
  ASSERT_EQ(centred.size(), 255u);
  EXPECT_EQ(centred.front().first, -127);
  EXPECT_EQ(centred.back().first, 127);
  EXPECT_DOUBLE_EQ(centred[100].second, 1.0 / MAX_BOX_WIDTH);
  const Weights offset = box_weights(0.25, kInf);
  ASSERT_EQ(offset.size(), 256u);
  EXPECT_EQ(offset.front().first, -127);
  EXPECT_EQ(offset.back().first, 128);
  EXPECT_NEAR(total(offset), 1.0, 1e-12);
}

TEST(BoxWeights, NonFiniteOrHugeCentresGiveDefinedResults) {
  EXPECT_TRUE(box_weights(kNaN, 1).empty());
  EXPECT_TRUE(box_weights(kInf, 1).empty());
  EXPECT_TRUE(box_weights(-kInf, 3).empty());
  EXPECT_TRUE(box_weights(1e300, 3).empty());  // beyond int64: no frame overlaps the window
  // At the top of the int64 range the window's end saturates to the largest frame and the
  // walk must stop there rather than step past it.
  for (double centre : {0x1p63 - 4096, 0x1p63, -0x1p63, -0x1p63 + 2048}) {
    const Weights w = box_weights(centre, 255);
    EXPECT_TRUE(ascending(w)) << centre;
    for (const auto& [frame, weight] : w) EXPECT_TRUE(std::isfinite(weight)) << centre;
  }
}

TEST(ShutterWeights, CountsSamplesPerFrame) {
  EXPECT_THAT(shutter_weights(10, 1, 0.5, 0, 0), ElementsAre(Pair(10, 1.0)));
  EXPECT_THAT(shutter_weights(10, 3, 1, 0, 0), ElementsAre(Pair(10, 2.0), Pair(11, 1.0)));
  EXPECT_THAT(shutter_weights(10, 5, 2, 1, 0),
              ElementsAre(Pair(10, 1.0), Pair(11, 2.0), Pair(12, 2.0)));
  EXPECT_THAT(shutter_weights(-10, 3, 2, 2, 0),
              ElementsAre(Pair(-12, 1.0), Pair(-11, 1.0), Pair(-10, 1.0)));
}

TEST(ShutterWeights, OneSampleSitsAtTheShutterMiddleRoundedHalfUp) {
  EXPECT_THAT(shutter_weights(10, 0, 1, 1, 0), ElementsAre(Pair(11, 1.0)));   // 10.5 -> 11
  EXPECT_THAT(shutter_weights(10, -5, 1, 2, 0), ElementsAre(Pair(10, 1.0)));  // 9.5 -> 10
  EXPECT_THAT(shutter_weights(-10, 1, 1, 2, 0), ElementsAre(Pair(-10, 1.0)));
}

TEST(ShutterWeights, OtherModesStartAtTheOffset) {
  EXPECT_THAT(shutter_weights(10, 2, 0.5, 3, -0.25), ElementsAre(Pair(10, 2.0)));
  EXPECT_THAT(shutter_weights(10, 2, 0.5, 1, -0.25), ElementsAre(Pair(10, 1.0), Pair(11, 1.0)));
  EXPECT_THAT(shutter_weights(10, 3, 1, 3, 0.6), ElementsAre(Pair(11, 2.0), Pair(12, 1.0)));
  EXPECT_THAT(shutter_weights(10, 3, 1, -1, 0.6), ElementsAre(Pair(11, 2.0), Pair(12, 1.0)));
}

TEST(ShutterWeights, EnormousSampleCountIsBounded) {
  // Samples at 0, 1, ..., 1023: one per frame once the count is bounded.
  const Weights w = shutter_weights(0, kMax, MAX_SHUTTER_SAMPLES - 1, 1, 0);
  ASSERT_EQ(w.size(), static_cast<size_t>(MAX_SHUTTER_SAMPLES));
  EXPECT_EQ(w.front(), std::make_pair(0LL, 1.0));
  EXPECT_EQ(w.back(), std::make_pair(MAX_SHUTTER_SAMPLES - 1, 1.0));
  EXPECT_DOUBLE_EQ(total(shutter_weights(5, 1LL << 40, 0.5, 0, 0)),
                   static_cast<double>(MAX_SHUTTER_SAMPLES));
}

TEST(ShutterWeights, NonFiniteSamplesLandNowhereAndHugeOnesSaturate) {
  EXPECT_TRUE(shutter_weights(kNaN, 4, 1, 0, 0).empty());
  EXPECT_TRUE(shutter_weights(10, 4, kNaN, 1, 0).empty());
  EXPECT_TRUE(shutter_weights(kInf, 1, 1, 0, 0).empty());
  // 0 * inf is NaN and 10 + inf is infinite: no sample lands.
  EXPECT_TRUE(shutter_weights(10, 3, kInf, 1, 0).empty());
  EXPECT_TRUE(shutter_weights(10, 2, 1, 9, kNaN).empty());
  EXPECT_THAT(shutter_weights(1e300, 3, 1, 0, 0), ElementsAre(Pair(kMax, 3.0)));
  EXPECT_THAT(shutter_weights(-1e300, 2, 1, 0, 0), ElementsAre(Pair(kMin, 2.0)));
  EXPECT_THAT(shutter_weights(0, 2, 1e300, 1, 0), ElementsAre(Pair(0, 1.0), Pair(kMax, 1.0)));
}

}  // namespace
