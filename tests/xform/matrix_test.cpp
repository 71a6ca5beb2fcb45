#include "quarn/xform/matrix.h"

#include "quarn/xform/crop.h"
#include "quarn/xform/plan.h"
#include "quarn/xform/step.h"
#include "support/blas.h"
#include "support/matrices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

namespace {

using namespace qn::xform;
using namespace qn_test;
using Box = std::array<long, 4>;
constexpr long kLongMax = std::numeric_limits<long>::max();
constexpr long kLongMin = std::numeric_limits<long>::min();

class XformMatrix : public WithHostBlas {};

TEST_F(XformMatrix, HooksNeedAllFourAndEveryCallRefusesWithoutThem) {
  const BlasAddresses a = openblas64();
  EXPECT_FALSE(set_blas(a.gesv, a.gemm, 0, a.dot));
  EXPECT_FALSE(has_blas());
  long w = 10, h = 10;
  bool crop = false;
  const Mat3 id = kIdentity3;
  // clang-format off
  const std::function<void()> calls[] = {
      [&] { (void)inverse(id); }, [&] { (void)product(id, id); },
      [&] { (void)h_bbox({0, 0, 1, 1}, id, 0); },
      [&] { (void)step_matrix(transform_step(1, 2), w, h, crop); },
      [] { (void)total({}, 10, 10); }, [] { (void)plan({}); },
      [] { (void)mblur_samples(1, {}, 10, 10); },
      [] { (void)crop_plan(0, 0, 1, 1, false, {0, 0, 1, 1}, false, 1, 1); }};
  // clang-format on
  for (const auto& call : calls)
    EXPECT_THAT(call, throws<std::logic_error>(
                          "xform: linear-algebra routines not set (call set_blas first)"));
  EXPECT_TRUE(set_blas(a.gesv, a.gemm, a.gemv, a.dot));
}

TEST_F(XformMatrix, ProductOrderAndInverse) {
  const Mat3 a{1, 2, 3, 4, 5, 6, 7, 8, 10};
  const Mat3 rotate{0, 1, 0, 0, 0, 1, 1, 0, 0};  // a permutation
  EXPECT_EQ(product(a, rotate), (Mat3{3, 1, 2, 6, 4, 5, 10, 7, 8}));
  EXPECT_EQ(product(rotate, a), (Mat3{4, 5, 6, 7, 8, 10, 1, 2, 3}));
  const Mat3 m{2, 0.5, 3, -1, 1.5, 7, 0.001, 0.002, 1};
  const Mat3 id = product(m, inverse(m).value());
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(id[i], kIdentity3[i], 1e-12) << i;
  EXPECT_FALSE(inverse(Mat3{}));
  EXPECT_FALSE(inverse(Mat3{1, 2, 3, 2, 4, 6, 0, 0, 1}));  // dependent rows
}

TEST_F(XformMatrix, BoundingBoxes) {
  const Box unit{0, 0, 10, 10};
  const Mat3 toward_horizon{1, 0, 0, 0, 1, 0, -0.1, 0, 1};  // w = 0 at x = 10
  const long big = kLongMax - 10;
  struct Case {
    Mat3 m;
    long pad;
    std::optional<Box> want;
  } cases[] = {
      // clang-format off
      {kIdentity3, 1, Box{-1, -1, 11, 11}}, {translation(0.5, 0), 0, Box{0, 0, 11, 10}},
      {translation(1e-7, 0), 0, Box{0, 0, 10, 10}},  // inside the slack
      {translation(-2.25, -0.75), 0, Box{-3, -1, 8, 10}},
      {{-1, 0, 0, 0, -1, 0, 0, 0, 1}, 0, Box{-10, -10, 0, 0}},
      {{1, 0, 0, 0, 1, 0, 0, 0, 2}, 0, Box{0, 0, 5, 5}},
      {translation(9.1e18, 0), 0, Box{9100000000000000000L, 0, 9100000000000000000L, 10}},
      {kIdentity3, big, Box{-big, -big, kLongMax, kLongMax}},
      {toward_horizon, 0, std::nullopt}, {{1, 0, 0, 0, 1, 0, 0, 0, -1}, 0, std::nullopt},
      // clang-format on
  };
  for (const Case& c : cases) EXPECT_EQ(h_bbox(unit, c.m, c.pad), c.want);
  EXPECT_TRUE(h_bbox({0, 0, 9, 9}, toward_horizon, 0));

  EXPECT_THAT(
      [&] {
        (void)h_bbox(unit, {NAN, 0, 0, 0, 1, 0, 0, 0, 1}, 0);
      },
      throws<std::invalid_argument>(kNaNToInteger));
  // Growing by `pad` past the 64-bit range used to wrap silently; it is now out of range.
  // clang-format off
  const std::pair<Mat3, long> too_big[] = {{scaling(1e18, 1), 0}, {translation(INFINITY, 0), 0},
      {kIdentity3, kLongMax}, {kIdentity3, kLongMin}, {translation(-9.1e18, 0), 2e17}};
  // clang-format on
  for (const auto& [m, pad] : too_big)
    EXPECT_THAT([&] { (void)h_bbox(unit, m, pad); }, throws<std::overflow_error>(kInfToInteger));
}

}  // namespace
