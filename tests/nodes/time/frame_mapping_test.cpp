#include "quarn/nodes/time/frame_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

namespace {

using namespace qn::nodes::time;
using Frames = std::vector<long long>;

constexpr long long kMin = std::numeric_limits<long long>::min();
constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

enum Edge { kPass = 0, kLoop = 1, kBounce = 2, kHold = 3, kNone = 4 };

TEST(FrameMapping, WholeHoldAndOffsetRoundAndSaturateInsteadOfOverflowing) {
  // clang-format off
  const std::pair<long long, long long> cases[] = {
      {whole(2.5, true), 3}, {whole(-2.5, true), -2}, {whole(2.4999, true), 2},
      {whole(2.9999999999, false), 3}, {whole(2.99, false), 2}, {whole(-0.5, false), -1},
      {whole(0x1p62, false), 1LL << 62},
      // beyond the int64 range: the nearest end; NaN: frame 0
      {whole(kNaN, true), 0}, {whole(kInf, true), kMax}, {whole(-kInf, false), kMin},
      {whole(1e300, false), kMax}, {whole(0x1p63, false), kMax}, {whole(-0x1p63, false), kMin},
      // holds aligned to `first`; frames before it fall to the earlier step; every <= 0 passes
      {framehold_frame(7, 1, 3, false), 7}, {framehold_frame(6, 1, 3, false), 4},
      {framehold_frame(0, 1, 3, false), -2}, {framehold_frame(9.7, 1.5, 2, true), 10},
      {framehold_frame(9.7, 1.5, 2, false), 9}, {framehold_frame(6.4, 1, 0, true), 6},
      {framehold_frame(-6.6, 1, kMin, true), -7}, {framehold_frame(kNaN, 1, 3, false), 0},
      {framehold_frame(kInf, 1, 3, false), kMax}, {framehold_frame(-1e300, 0, kMax, true), kMin},
      {timeoffset_frame(12, 2, false, 1, 20, false), 10},
      {timeoffset_frame(12, 2, true, 1, 20, false), 11},
      {timeoffset_frame(-3, 0, true, -10, -1, false), -8},
      {timeoffset_frame(5, kInf, false, 1, 20, false), kMin},
      // first + last reaches 2^64 - 2: in 64 bits it would wrap
      {timeoffset_frame(0, 0, true, kMax, kMax, false), kMax},
      {timeoffset_frame(0, 0, true, kMin, kMin, false), kMin},
      {timeoffset_frame(0, 0, true, kMin, kMax, false), -1}};
  // clang-format on
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST(FrameMapping, FrameBlendIsBoundedAndSaturates) {
  using Span = std::tuple<size_t, long long, long long>;  // count, first and last frame
  const auto span = [](const Frames& f) { return Span(f.size(), f.front(), f.back()); };
  EXPECT_EQ(frameblend_frames(10, 3, false, 0, 0), (Frames{10, 9, 8}));
  EXPECT_EQ(frameblend_frames(10, 0, false, 0, 0), (Frames{10}));
  EXPECT_EQ(frameblend_frames(1, 3, false, 0, 0), (Frames{1, 0, -1}));
  EXPECT_EQ(span(frameblend_frames(1000, kMax, false, 0, 0)), Span(MAX_BLEND_FRAMES, 1000, 745));
  EXPECT_EQ(frameblend_frames(kMin + 1, 5, false, 0, 0), (Frames{kMin + 1, kMin}));
  // A range rounds ties to even and ascends from its lower bound.
  EXPECT_EQ(frameblend_frames(99, 1, true, 2.5, 5.5), (Frames{2, 3, 4, 5, 6}));
  EXPECT_EQ(frameblend_frames(99, 1, true, 3.5, 1.4), (Frames{1, 2, 3, 4}));
  EXPECT_EQ(span(frameblend_frames(0, 1, true, 1000.0, 0.0)), Span(256, 0, 255));
  // lo + 255 would pass the largest int64.
  EXPECT_EQ(frameblend_frames(0, 1, true, 1e300, kInf), (Frames{kMax}));
  EXPECT_EQ(span(frameblend_frames(0, 1, true, 0x1p63 - 1024, 1e300)),
            Span(256, kMax - 1023, kMax - 768));
  EXPECT_EQ(span(frameblend_frames(0, 1, true, -kInf, kInf)), Span(256, kMin, kMin + 255));
  EXPECT_EQ(frameblend_frames(50, 1, true, kNaN, 2), (Frames{0, 1, 2}));  // NaN bound: 0
}

// A model that steps one frame at a time: loop wraps by whole lengths, bounce walks from
// `first` and turns at either end; ranges too short for either, holds and unknown modes clamp.
std::optional<long long> stepped_edge(long long frame, long long first, long long last, int mode) {
  if ((first <= frame && frame <= last) || mode == kPass) return frame;
  if (mode == kNone) return std::nullopt;
  const long long length = last - first + 1;
  if (mode == kLoop && length >= 1) {
    while (frame > last) frame -= length;
    while (frame < first) frame += length;
    return frame;
  }
  if (mode == kBounce && length >= 2) {
    long long p = first, step = frame >= first ? 1 : -1;
    for (long long n = frame - first; n != 0; n += n > 0 ? -1 : 1) {
      if (p + step < first || p + step > last) step = -step;
      p += step;
    }
    return p;
  }
  return frame < first ? first : last;
}

TEST(FrameMapping, EdgeModesMatchASteppingModelAndDoNotWrapNearInt64Ends) {
  for (long long first = -4; first <= 3; ++first)
    for (long long last = first - 2; last <= first + 5; ++last)
      for (long long frame = first - 25; frame <= last + 25; ++frame)
        for (int mode = -1; mode <= 5; ++mode)
          ASSERT_EQ(edge_frame(frame, first, last, mode), stepped_edge(frame, first, last, mode))
              << "frame " << frame << " in [" << first << ", " << last << "] mode " << mode;
  // Lengths up to 2^64 and periods up to 2^65 would wrap in 64 bits.
  const std::tuple<long long, long long, long long, int, long long> extremes[] = {
      {kMin, kMin + 1, kMax, kLoop, kMax},
      {kMax, kMin, kMax - 1, kLoop, kMin},
      {kMax, kMin, kMax - 1, kBounce, kMax - 2},
      {kMin, kMin + 1, kMax, kBounce, kMin + 2},
      {kMin, 0, kMax, kLoop, 0},
      {kMax, kMin, 0, kBounce, kMin + 1},
      {kMin, kMax - 1, kMax, kLoop, kMax - 1},
      {kMax, kMin, kMin + 1, kBounce, kMin + 1}};
  for (const auto& [frame, first, last, mode, want] : extremes)
    EXPECT_EQ(edge_frame(frame, first, last, mode), want)
        << "frame " << frame << " in [" << first << ", " << last << "] mode " << mode;
}

TEST(FrameMapping, RetimeRangesAndPositions) {
  const auto rt = [](auto... args) {
    const RetimeRanges r = retime_ranges(args...);
    return std::vector{r.in_first, r.in_last, r.out_first, r.out_last, r.speed};
  };
  // clang-format off
  const std::pair<std::vector<double>, std::vector<double>> cases[] = {
      {rt(1, 100, 0, false, 0, false, 0, false, 0, false, 2), {1, 100, 1, 50, 2}},
      // both output ends given: the speed follows, the argument is ignored
      {rt(1, 100, 0, false, 0, false, 1, true, 200, true, 7), {1, 100, 1, 200, 0.5}},
      {rt(1, 10, 0, false, 0, false, 5, true, 4, true, 1), {1, 10, 5, 4, 1e10}},
      {rt(1, 100, 11, true, 30, true, 0, false, 40, true, 0.5), {11, 30, 1, 40, 0.5}},
      {rt(1, 100, 0, false, 0, false, 201, true, 0, false, 4), {1, 100, 201, 225, 4}},
      {rt(1, 100, 0, false, 0, false, 0, false, 0, false, 0), {1, 100, 1, 100, 0}}};
  // clang-format on
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);

  // Edge modes apply only outside the output range.
  const RetimeRanges r{1, 100, 1, 50, 2};
  for (int mode : {kPass, kLoop, kBounce, kHold, kNone}) {
    EXPECT_EQ(retime_pos(1, r, mode, mode), 0.0);
    EXPECT_EQ(retime_pos(50, r, mode, mode), 98.0);
  }
  EXPECT_EQ(retime_pos(0, r, kNone, kHold), std::nullopt);
  EXPECT_EQ(retime_pos(60, r, kNone, kHold), 98.0);
  EXPECT_EQ(retime_pos(51, r, kHold, kNone), std::nullopt);
  EXPECT_EQ(retime_pos(51, r, kNone, kLoop), 0.0);
  EXPECT_EQ(retime_pos(-2, r, kPass, kNone), -6.0);
  // Fractional ends: the range is frames 1 .. 4, positions count from 1.5.
  EXPECT_EQ(retime_pos(5, RetimeRanges{0, 9, 1.5, 4.5, 1}, kHold, kHold), 2.5);
  // Ends beyond int64 saturate; NaN ends give a NaN position rather than undefined behaviour.
  EXPECT_EQ(retime_pos(kMin, RetimeRanges{0, 1, -1e300, 1e300, 1}, kLoop, kLoop),
            double(kMin) + 1e300);
  EXPECT_TRUE(std::isnan(*retime_pos(3, RetimeRanges{0, 1, kNaN, kNaN, 1}, kLoop, kBounce)));
}

}  // namespace
