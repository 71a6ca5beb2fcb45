#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "quarn/nodes/time/frame_mapping.h"
#include "quarn/nodes/time/temporal_weights.h"

namespace {

using namespace qn::nodes::time;
using Frames = std::vector<long long>;
using Weights = std::vector<std::pair<long long, double>>;

constexpr long long kMin = LLONG_MIN, kMax = LLONG_MAX;
constexpr double kNaN = NAN, kInf = INFINITY;

TEST(FrameMapping, WholeHoldOffsetAndBlendRoundAndSaturateInsteadOfOverflowing) {
  // clang-format off
  const std::pair<long long, long long> cases[] = {
      {whole(2.5, true), 3}, {whole(-2.5, true), -2}, {whole(2.9999999999, false), 3},
      {whole(2.99, false), 2}, {whole(-0.5, false), -1},
      // beyond the int64 range: the nearest end; NaN: frame 0
      {whole(kNaN, true), 0}, {whole(kInf, true), kMax}, {whole(-0x1p63, false), kMin},
      // holds aligned to `first`; frames before it fall to the earlier step; every <= 0 passes
      {framehold_frame(6, 1, 3, false), 4}, {framehold_frame(0, 1, 3, false), -2},
      {framehold_frame(9.7, 1.5, 2, true), 10}, {framehold_frame(6.4, 1.5, 1, false), 5},
      {framehold_frame(6.4, 1, 0, true), 6}, {framehold_frame(-6.6, 1, kMin, true), -7},
      {framehold_frame(kInf, 1, 3, false), kMax},
      {timeoffset_frame(12, 2, false, 1, 20, false), 10},
      {timeoffset_frame(12, 2, true, 1, 20, false), 11},
      // first + last reaches 2^64 - 2: in 64 bits it would wrap
      {timeoffset_frame(0, 0, true, kMax, kMax, false), kMax},
      {timeoffset_frame(0, 0, true, kMin, kMax, false), -1}};
  // clang-format on
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);

  // Blends: down from the frame, or up a range rounded half to even (NaN is 0), within bounds.
  using Span = std::tuple<size_t, long long, long long>;  // count, first and last frame
  const auto span = [](const Frames& f) { return Span(f.size(), f.front(), f.back()); };
  EXPECT_EQ(frameblend_frames(10, 3, false, 0, 0), (Frames{10, 9, 8}));
  EXPECT_EQ(span(frameblend_frames(1000, kMax, false, 0, 0)), Span(MAX_BLEND_FRAMES, 1000, 745));
  EXPECT_EQ(frameblend_frames(kMin + 1, 5, false, 0, 0), (Frames{kMin + 1, kMin}));
  EXPECT_EQ(frameblend_frames(99, 1, true, 2.5, 5.5), (Frames{2, 3, 4, 5, 6}));
  EXPECT_EQ(frameblend_frames(50, 1, true, kNaN, 2), (Frames{0, 1, 2}));
  EXPECT_EQ(span(frameblend_frames(0, 1, true, 1000.0, 0.0)), Span(256, 0, 255));
  EXPECT_EQ(frameblend_frames(0, 1, true, 1e300, kInf), (Frames{kMax}));
  EXPECT_EQ(span(frameblend_frames(0, 1, true, -kInf, kInf)), Span(256, kMin, kMin + 255));
}

// One frame at a time: loop wraps by lengths, bounce turns at the ends; the rest clamp.
std::optional<long long> stepped_edge(long long frame, long long first, long long last, int mode) {
  if ((first <= frame && frame <= last) || mode == EDGE_PASS) return frame;
  if (mode == EDGE_NONE) return std::nullopt;
  const long long length = last - first + 1;
  if (mode == EDGE_LOOP && length >= 1) {
    while (frame > last) frame -= length;
    while (frame < first) frame += length;
    return frame;
  }
  if (mode == EDGE_BOUNCE && length >= 2) {
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
  // clang-format off
  const std::tuple<long long, long long, long long, int, long long> extremes[] = {
      {kMin, kMin + 1, kMax, EDGE_LOOP, kMax}, {kMax, kMin, kMax - 1, EDGE_LOOP, kMin},
      {kMax, kMin, kMax - 1, EDGE_BOUNCE, kMax - 2}, {kMin, kMin + 1, kMax, EDGE_BOUNCE, kMin + 2},
      {kMin, 0, kMax, EDGE_LOOP, 0}, {kMax, kMin, 0, EDGE_BOUNCE, kMin + 1}};
  // clang-format on
  for (const auto& [frame, first, last, mode, want] : extremes)
    EXPECT_EQ(edge_frame(frame, first, last, mode), want) << frame << " " << first << " " << last;
}

TEST(FrameMapping, RetimeRangesAndPositions) {
  const auto rt = [](auto... args) {
    const RetimeRanges r = retime_ranges(args...);
    return std::vector{r.in_first, r.in_last, r.out_first, r.out_last, r.speed};
  };
  const std::pair<std::vector<double>, std::vector<double>> cases[] = {
      {rt(1, 100, 0, false, 0, false, 0, false, 0, false, 2), {1, 100, 1, 50, 2}},
      {rt(1, 100, 0, false, 0, false, 1, true, 200, true, 7), {1, 100, 1, 200, 0.5}},  // both ends
      {rt(1, 10, 0, false, 0, false, 5, true, 4, true, 1), {1, 10, 5, 4, 1e10}},
      {rt(1, 100, 11, true, 30, true, 0, false, 40, true, 0.5), {11, 30, 1, 40, 0.5}},
      {rt(1, 100, 0, false, 0, false, 201, true, 0, false, 4), {1, 100, 201, 225, 4}},
      {rt(1, 100, 0, false, 0, false, 0, false, 0, false, 0), {1, 100, 1, 100, 0}}};
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);

  const RetimeRanges r{1, 100, 1, 50, 2};
  for (int before = EDGE_PASS; before <= EDGE_NONE; ++before)
    for (int after = EDGE_PASS; after <= EDGE_NONE; ++after)
      for (long long f = -60; f <= 110; ++f) {
        const std::optional<long long> e = edge_frame(f, 1, 50, f < 1 ? before : after);
        ASSERT_EQ(retime_pos(f, r, before, after),
                  e ? std::optional((*e - 1) * 2.0) : std::nullopt);
      }
  // Fractional ends: the range is frames 1 .. 4, positions count from 1.5.
  EXPECT_EQ(retime_pos(5, RetimeRanges{0, 9, 1.5, 4.5, 1}, EDGE_HOLD, EDGE_HOLD), 2.5);
  // Ends beyond int64 saturate; NaN ends give a NaN position rather than undefined behaviour.
  EXPECT_EQ(retime_pos(kMin, RetimeRanges{0, 1, -1e300, 1e300, 1}, EDGE_LOOP, EDGE_LOOP),
            double(kMin) + 1e300);
  EXPECT_TRUE(std::isnan(*retime_pos(3, RetimeRanges{0, 1, kNaN, kNaN, 1}, EDGE_LOOP, EDGE_LOOP)));
}

// A box edge on a frame boundary adds no entry; shutter samples at non-finite times land nowhere.
TEST(TemporalWeights, BoxAndShutterWeights) {
  // clang-format off
  const std::pair<Weights, Weights> cases[] = {
      {box_weights(10.25, 1), {{10, 0.75}, {11, 0.25}}},
      {box_weights(10, 3), {{9, 1.0 / 3}, {10, 1.0 / 3}, {11, 1.0 / 3}}},
      {box_weights(10, 0), {{10, 1}}}, {box_weights(10, -4), {{10, 1}}},
      {box_weights(10, kNaN), {{10, 1}}},
      {shutter_weights(10, 3, 1, 0, 0), {{10, 2}, {11, 1}}},
      {shutter_weights(10, 5, 2, 1, 0), {{10, 1}, {11, 2}, {12, 2}}},
      {shutter_weights(-10, 3, 2, 2, 0), {{-12, 1}, {-11, 1}, {-10, 1}}},
      {shutter_weights(10, 0, 1, 1, 0), {{11, 1}}}, {shutter_weights(kNaN, 4, 1, 0, 0), {}},
      {shutter_weights(10, 3, 1, -1, 0.6), {{11, 2}, {12, 1}}},
      {shutter_weights(10, 3, kInf, 1, 0), {}},  // 0 * inf is NaN, 10 + inf is inf
      {shutter_weights(1e300, 3, 1, 0, 0), {{kMax, 3}}},
      {shutter_weights(0, 2, 1e300, 1, 0), {{0, 1}, {kMax, 1}}}};
  // clang-format on
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);

  double sum = 0;  // over -3.55 .. 4.15: nine frames
  for (const auto& [frame, weight] : box_weights(0.3, 7.7))
    sum += frame >= -4 && frame <= 4 ? weight : 9;
  EXPECT_NEAR(sum, 1.0, 1e-15);
  // Huge windows stop at 256 frames.
  const Weights centred = box_weights(0, 1e12), offset = box_weights(0.25, kInf);
  EXPECT_EQ(std::tuple(centred.size(), centred.front().first, offset.size(), offset.back().first),
            std::tuple(255u, -127, 256u, 128));
  EXPECT_DOUBLE_EQ(centred[100].second, 1.0 / MAX_BOX_WIDTH);
  // Near the int64 ends doubles are 1024 apart: no frame is covered, and the walk must end.
  for (double centre : {kNaN, kInf, -kInf, 1e300, 0x1p63 - 4096, 0x1p63, -0x1p63, -0x1p63 + 2048})
    EXPECT_THAT(box_weights(centre, 255), testing::IsEmpty()) << centre;
  const Weights bounded = shutter_weights(0, kMax, MAX_SHUTTER_SAMPLES - 1, 1, 0);
  ASSERT_EQ(bounded.size(), size_t(MAX_SHUTTER_SAMPLES));  // one per frame once bounded
  EXPECT_EQ(bounded.back(), std::make_pair(MAX_SHUTTER_SAMPLES - 1, 1.0));
}

}  // namespace
