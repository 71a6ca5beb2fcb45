#include "quarn/nodes/time/frame_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace {

using namespace qn::nodes::time;

constexpr long long kMin = std::numeric_limits<long long>::min();
constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

enum Edge { kPass = 0, kLoop = 1, kBounce = 2, kHold = 3, kNone = 4 };

TEST(Whole, RoundsHalfUpOrAbsorbsTinyDeficits) {
  EXPECT_EQ(whole(2.5, true), 3);
  EXPECT_EQ(whole(-2.5, true), -2);
  EXPECT_EQ(whole(2.4999, true), 2);
  EXPECT_EQ(whole(2.9999999999, false), 3);
  EXPECT_EQ(whole(2.99, false), 2);
  EXPECT_EQ(whole(-0.5, false), -1);
  EXPECT_EQ(whole(-3.0, false), -3);
}

TEST(Whole, SaturatesNonFiniteAndHugeFrames) {
  EXPECT_EQ(whole(kNaN, true), 0);
  EXPECT_EQ(whole(kNaN, false), 0);
  EXPECT_EQ(whole(kInf, true), kMax);
  EXPECT_EQ(whole(-kInf, false), kMin);
  EXPECT_EQ(whole(1e300, false), kMax);
  EXPECT_EQ(whole(-1e300, true), kMin);
  EXPECT_EQ(whole(0x1p63, false), kMax);       // first double past the int64 range
  EXPECT_EQ(whole(-0x1p63, false), kMin);      // exactly the smallest int64
  EXPECT_EQ(whole(0x1p62, false), 1LL << 62);  // large but in range: exact
}

TEST(FrameHold, HoldsInStepsAlignedToFirst) {
  EXPECT_EQ(framehold_frame(7, 1, 3, false), 7);
  EXPECT_EQ(framehold_frame(6, 1, 3, false), 4);
  EXPECT_EQ(framehold_frame(4, 1, 3, false), 4);
  EXPECT_EQ(framehold_frame(0, 1, 3, false), -2);  // before first: the earlier step
  EXPECT_EQ(framehold_frame(-5, 1, 3, false), -5);
  EXPECT_EQ(framehold_frame(9.7, 1.5, 2, true), 10);  // 1.5 + 2*4 = 9.5, rounded up
  EXPECT_EQ(framehold_frame(9.7, 1.5, 2, false), 9);
}

TEST(FrameHold, EveryOfZeroOrLessPassesTheFrameThrough) {
  EXPECT_EQ(framehold_frame(6.4, 1, 0, true), 6);
  EXPECT_EQ(framehold_frame(6.4, 1, -3, false), 6);
  EXPECT_EQ(framehold_frame(-6.6, 1, kMin, true), -7);
}

TEST(FrameHold, NonFiniteInputsSaturate) {
  EXPECT_EQ(framehold_frame(kNaN, 1, 3, false), 0);
  EXPECT_EQ(framehold_frame(5, kNaN, 3, false), 0);
  EXPECT_EQ(framehold_frame(kInf, 1, 3, false), kMax);
  EXPECT_EQ(framehold_frame(kInf, 1, 0, false), kMax);
  EXPECT_EQ(framehold_frame(1e300, 0, kMax, false), kMax);
  EXPECT_EQ(framehold_frame(-1e300, 0, 1, true), kMin);
}

TEST(TimeOffset, ShiftsAndMirrorsInsideTheRange) {
  EXPECT_EQ(timeoffset_frame(12, 2, false, 1, 20, false), 10);
  EXPECT_EQ(timeoffset_frame(12, 2, true, 1, 20, false), 11);
  EXPECT_EQ(timeoffset_frame(12, -2.5, false, 1, 20, true), 15);
  EXPECT_EQ(timeoffset_frame(-3, 0, true, -10, -1, false), -8);
}

TEST(TimeOffset, FirstPlusLastCannotWrap) {
  // The sum of the range ends is 2^64 - 2; in 64 bits it would wrap to -2.
  EXPECT_EQ(timeoffset_frame(0, 0, true, kMax, kMax, false), kMax);
  EXPECT_EQ(timeoffset_frame(0, 0, true, kMin, kMin, false), kMin);
  EXPECT_EQ(timeoffset_frame(0, 0, true, kMin, kMax, false), -1);
  EXPECT_EQ(timeoffset_frame(kNaN, 0, true, 1, 20, false), 0);
  EXPECT_EQ(timeoffset_frame(5, kInf, false, 1, 20, false), kMin);
}

TEST(FrameBlend, CountsDownFromTheFrame) {
  EXPECT_EQ(frameblend_frames(10, 3, false, 0, 0), (std::vector<long long>{10, 9, 8}));
  EXPECT_EQ(frameblend_frames(10, 0, false, 0, 0), (std::vector<long long>{10}));
  EXPECT_EQ(frameblend_frames(10, -7, false, 0, 0), (std::vector<long long>{10}));
  EXPECT_EQ(frameblend_frames(1, 3, false, 0, 0), (std::vector<long long>{1, 0, -1}));
}

TEST(FrameBlend, EnormousCountIsBounded) {
  const auto frames = frameblend_frames(1000, kMax, false, 0, 0);
  ASSERT_EQ(frames.size(), static_cast<size_t>(MAX_BLEND_FRAMES));
  EXPECT_EQ(frames.front(), 1000);
  EXPECT_EQ(frames.back(), 1000 - MAX_BLEND_FRAMES + 1);
}

TEST(FrameBlend, StopsAtTheSmallestFrameInsteadOfWrapping) {
  EXPECT_EQ(frameblend_frames(kMin + 1, 5, false, 0, 0), (std::vector<long long>{kMin + 1, kMin}));
  EXPECT_EQ(frameblend_frames(kMin, 5, false, 0, 0), (std::vector<long long>{kMin}));
}

TEST(FrameBlend, RangeRoundsTiesToEvenAndAscends) {
  EXPECT_EQ(frameblend_frames(99, 1, true, 2.5, 5.5), (std::vector<long long>{2, 3, 4, 5, 6}));
  EXPECT_EQ(frameblend_frames(99, 1, true, 3.5, 1.4), (std::vector<long long>{1, 2, 3, 4}));
  EXPECT_EQ(frameblend_frames(99, 1, true, -1.5, -1.5), (std::vector<long long>{-2}));
  const auto reversed = frameblend_frames(0, 1, true, 1000.0, 0.0);
  ASSERT_EQ(reversed.size(), 256u);
  EXPECT_EQ(reversed.front(), 0);
  EXPECT_EQ(reversed.back(), 255);
}

TEST(FrameBlend, RangeBoundsSaturateAndCannotWrap) {
  // lo + 255 would pass the largest int64.
  EXPECT_EQ(frameblend_frames(0, 1, true, 1e300, kInf), (std::vector<long long>{kMax}));
  const auto top = frameblend_frames(0, 1, true, 0x1p63 - 1024, 1e300);
  ASSERT_EQ(top.size(), 256u);
  EXPECT_EQ(top.front(), kMax - 1023);
  const auto span = frameblend_frames(0, 1, true, -kInf, kInf);
  ASSERT_EQ(span.size(), 256u);
  EXPECT_EQ(span.front(), kMin);
  EXPECT_EQ(span.back(), kMin + 255);
  // A NaN bound counts as frame 0.
  EXPECT_EQ(frameblend_frames(50, 1, true, kNaN, 2), (std::vector<long long>{0, 1, 2}));
}

struct EdgeCase {
  long long frame, first, last;
  int mode;
  std::optional<long long> expected;
};

class EdgeFrame : public testing::TestWithParam<EdgeCase> {};

TEST_P(EdgeFrame, MapsTheFrame) {
  const EdgeCase& c = GetParam();
  EXPECT_EQ(edge_frame(c.frame, c.first, c.last, c.mode), c.expected)
      << "frame " << c.frame << " in [" << c.first << ", " << c.last << "] mode " << c.mode;
}

INSTANTIATE_TEST_SUITE_P(InsideTheRangeEveryModeKeepsTheFrame, EdgeFrame,
                         testing::Values(EdgeCase{1, 1, 10, kNone, 1},
                                         EdgeCase{10, 1, 10, kNone, 10},
                                         EdgeCase{5, 1, 10, kLoop, 5},
                                         EdgeCase{10, 1, 10, kBounce, 10},
                                         EdgeCase{1, 1, 10, kHold, 1}, EdgeCase{7, 7, 7, 99, 7}));

INSTANTIATE_TEST_SUITE_P(AroundBothEnds, EdgeFrame,
                         testing::Values(
                             // pass and none
                             EdgeCase{12, 1, 10, kPass, 12}, EdgeCase{-4, 1, 10, kPass, -4},
                             EdgeCase{11, 1, 10, kNone, std::nullopt},
                             EdgeCase{0, 1, 10, kNone, std::nullopt},
                             // loop: one past each end wraps to the other end
                             EdgeCase{11, 1, 10, kLoop, 1}, EdgeCase{12, 1, 10, kLoop, 2},
                             EdgeCase{0, 1, 10, kLoop, 10}, EdgeCase{-9, 1, 10, kLoop, 1},
                             EdgeCase{-10, 1, 10, kLoop, 10}, EdgeCase{21, 1, 10, kLoop, 1},
                             // bounce: reflected at both ends, period 18
                             EdgeCase{11, 1, 10, kBounce, 9}, EdgeCase{12, 1, 10, kBounce, 8},
                             EdgeCase{19, 1, 10, kBounce, 1}, EdgeCase{20, 1, 10, kBounce, 2},
                             EdgeCase{0, 1, 10, kBounce, 2}, EdgeCase{-8, 1, 10, kBounce, 10},
                             EdgeCase{-9, 1, 10, kBounce, 9},
                             // hold and unknown modes
                             EdgeCase{12, 1, 10, kHold, 10}, EdgeCase{0, 1, 10, kHold, 1},
                             EdgeCase{12, 1, 10, 5, 10}, EdgeCase{-3, 1, 10, -1, 1}));

INSTANTIATE_TEST_SUITE_P(NegativeFrames, EdgeFrame,
                         testing::Values(EdgeCase{-21, -20, -11, kLoop, -11},
                                         EdgeCase{-10, -20, -11, kLoop, -20},
                                         EdgeCase{-10, -20, -11, kBounce, -12},
                                         EdgeCase{-22, -20, -11, kBounce, -18},
                                         EdgeCase{-100, -20, -11, kHold, -20}));

INSTANTIATE_TEST_SUITE_P(OneFrameAndEmptyRanges, EdgeFrame,
                         testing::Values(EdgeCase{9, 5, 5, kLoop, 5}, EdgeCase{-9, 5, 5, kLoop, 5},
                                         EdgeCase{9, 5, 5, kBounce, 5},
                                         EdgeCase{1, 5, 5, kBounce, 5}, EdgeCase{9, 5, 5, kHold, 5},
                                         EdgeCase{9, 5, 5, kNone, std::nullopt},
                                         // an inverted range holds in loop and bounce mode
                                         EdgeCase{3, 10, 1, kLoop, 10},
                                         EdgeCase{12, 10, 1, kBounce, 1}));

INSTANTIATE_TEST_SUITE_P(
    ExtremeRangesDoNotWrap, EdgeFrame,
    testing::Values(
        // length kMax - kMin + 1 = 2^64 and period 2^65 - 2 overflow 64 bits
        EdgeCase{kMax, kMin, kMax, kLoop, kMax}, EdgeCase{kMin, kMin + 1, kMax, kLoop, kMax},
        EdgeCase{kMax, kMin, kMax - 1, kLoop, kMin},
        EdgeCase{kMax, kMin, kMax - 1, kBounce, kMax - 2},
        EdgeCase{kMin, kMin + 1, kMax, kBounce, kMin + 2}, EdgeCase{kMin, 0, kMax, kLoop, 0},
        EdgeCase{kMax, kMin, 0, kBounce, kMin + 1}, EdgeCase{kMin, kMax - 1, kMax, kLoop, kMax - 1},
        EdgeCase{kMax, kMin, kMin + 1, kBounce, kMin + 1}));

TEST(RetimeRanges, DefaultsToTheSourceAndFollowsTheSpeed) {
  const RetimeRanges r = retime_ranges(1, 100, 0, false, 0, false, 0, false, 0, false, 2);
  EXPECT_DOUBLE_EQ(r.in_first, 1);
  EXPECT_DOUBLE_EQ(r.in_last, 100);
  EXPECT_DOUBLE_EQ(r.out_first, 1);
  EXPECT_DOUBLE_EQ(r.out_last, 50);
  EXPECT_DOUBLE_EQ(r.speed, 2);
}

TEST(RetimeRanges, BothOutputEndsSetTheSpeed) {
  const RetimeRanges r = retime_ranges(1, 100, 0, false, 0, false, 1, true, 200, true, 7);
  EXPECT_DOUBLE_EQ(r.out_first, 1);
  EXPECT_DOUBLE_EQ(r.out_last, 200);
  EXPECT_DOUBLE_EQ(r.speed, 0.5);
  // An output range of length 0 divides by 1e-9 instead.
  EXPECT_DOUBLE_EQ(retime_ranges(1, 10, 0, false, 0, false, 5, true, 4, true, 1).speed, 1e10);
}

TEST(RetimeRanges, OneOutputEndAnchorsTheOutputRange) {
  const RetimeRanges last_only = retime_ranges(1, 100, 11, true, 30, true, 0, false, 40, true, 0.5);
  EXPECT_DOUBLE_EQ(last_only.in_first, 11);
  EXPECT_DOUBLE_EQ(last_only.in_last, 30);
  EXPECT_DOUBLE_EQ(last_only.out_first, 1);  // 40 - 40 + 1
  EXPECT_DOUBLE_EQ(last_only.out_last, 40);
  const RetimeRanges first_only = retime_ranges(1, 100, 0, false, 0, false, 201, true, 0, false, 4);
  EXPECT_DOUBLE_EQ(first_only.out_first, 201);
  EXPECT_DOUBLE_EQ(first_only.out_last, 225);
  // A speed too close to 0 keeps the input length.
  const RetimeRanges stopped = retime_ranges(1, 100, 0, false, 0, false, 0, false, 0, false, 0);
  EXPECT_DOUBLE_EQ(stopped.out_last, 100);
  EXPECT_DOUBLE_EQ(stopped.speed, 0);
}

TEST(RetimePos, InsideTheOutputRangeIgnoresTheEdgeModes) {
  const RetimeRanges r{1, 100, 1, 50, 2};
  for (int mode : {kPass, kLoop, kBounce, kHold, kNone}) {
    EXPECT_EQ(retime_pos(1, r, mode, mode), 0.0);
    EXPECT_EQ(retime_pos(26, r, mode, mode), 50.0);
    EXPECT_EQ(retime_pos(50, r, mode, mode), 98.0);
  }
}

TEST(RetimePos, OutsideUsesTheModeOfThatSide) {
  const RetimeRanges r{1, 100, 1, 50, 2};
  EXPECT_EQ(retime_pos(0, r, kNone, kHold), std::nullopt);
  EXPECT_EQ(retime_pos(60, r, kNone, kHold), 98.0);
  EXPECT_EQ(retime_pos(-5, r, kHold, kNone), 0.0);
  EXPECT_EQ(retime_pos(51, r, kHold, kNone), std::nullopt);
  EXPECT_EQ(retime_pos(51, r, kNone, kLoop), 0.0);
  EXPECT_EQ(retime_pos(-2, r, kPass, kNone), -6.0);
  // Fractional output ends: the range is [floor(1.5), floor(4.5)] but positions count from 1.5.
  const RetimeRanges f{0, 9, 1.5, 4.5, 1};
  EXPECT_EQ(retime_pos(5, f, kHold, kHold), 2.5);
  EXPECT_EQ(retime_pos(0, f, kHold, kHold), -0.5);
}

TEST(RetimePos, ExtremeAndNonFiniteRangesStayDefined) {
  const RetimeRanges huge{0, 1, -1e300, 1e300, 1};
  EXPECT_EQ(retime_pos(kMin, huge, kLoop, kLoop), static_cast<double>(kMin) + 1e300);
  const RetimeRanges nan{0, 1, kNaN, kNaN, 1};
  const auto pos = retime_pos(3, nan, kLoop, kBounce);
  ASSERT_TRUE(pos.has_value());
  EXPECT_TRUE(std::isnan(*pos));
}

}  // namespace
