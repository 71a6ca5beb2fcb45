#include "quarn/xform/matrix.h"

#include "quarn/xform/crop.h"
#include "quarn/xform/plan.h"
#include "quarn/xform/step.h"
#include "support/blas.h"
#include "support/matrices.h"
#include "support/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

using qn_test::Mat3;
using Box = std::array<long, 4>;
constexpr long kLongMax = std::numeric_limits<long>::max();
constexpr long kLongMin = std::numeric_limits<long>::min();

class XformMatrix : public qn_test::WithHostBlas {};

using qn_test::expect_message;

TEST_F(XformMatrix, HooksNeedAllFourAndEveryCallRefusesWithoutThem) {
  const qn_test::BlasAddresses a = qn_test::openblas64();
  ASSERT_TRUE(qn::xform::has_blas());
  EXPECT_FALSE(qn::xform::set_blas(a.gesv, a.gemm, 0, a.dot));
  EXPECT_FALSE(qn::xform::has_blas());

  const char* refused = "xform: linear-algebra routines not set (call set_blas first)";
  long w = 10, h = 10;
  bool crop = false;
  const std::vector<std::function<void()>> calls = {
      [] { (void)qn::xform::inverse(qn_test::kIdentity3); },
      [] { (void)qn::xform::product(qn_test::kIdentity3, qn_test::kIdentity3); },
      [] {
        (void)qn::xform::h_bbox({0, 0, 1, 1}, qn_test::kIdentity3, 0);
      },
      [&] { (void)qn::xform::step_matrix(qn_test::transform_step(1, 2), w, h, crop); },
      [] { (void)qn::xform::total({}, 10, 10); },
      [] { (void)qn::xform::mblur_samples(1, {}, 10, 10); },
      [] { (void)qn::xform::plan({}); },
      [] {
        (void)qn::xform::crop_plan(0, 0, 1, 1, false, {0, 0, 1, 1}, false, 1, 1);
      },
  };
  for (const auto& call : calls) expect_message<std::logic_error>(call, refused);

  EXPECT_TRUE(qn::xform::set_blas(a.gesv, a.gemm, a.gemv, a.dot));
  EXPECT_TRUE(qn::xform::has_blas());
}

TEST_F(XformMatrix, ProductKeepsRowMajorOrder) {
  const Mat3 a{1, 2, 3, 4, 5, 6, 7, 8, 10};
  const Mat3 b{0, 1, 0, 0, 0, 1, 1, 0, 0};  // a permutation: columns of a rotate
  const Mat3 ab = qn::xform::product(a, b);
  EXPECT_EQ(ab, (Mat3{3, 1, 2, 6, 4, 5, 10, 7, 8}));
  const Mat3 ba = qn::xform::product(b, a);
  EXPECT_EQ(ba, (Mat3{4, 5, 6, 7, 8, 10, 1, 2, 3}));
}

TEST_F(XformMatrix, InverseUndoesAProjectiveMatrixAndRefusesASingularOne) {
  const Mat3 m{2, 0.5, 3, -1, 1.5, 7, 0.001, 0.002, 1};
  const auto inv = qn::xform::inverse(m);
  ASSERT_TRUE(inv);
  const Mat3 id = qn::xform::product(m, *inv);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(id[i], qn_test::kIdentity3[i], 1e-12) << i;

  EXPECT_FALSE(qn::xform::inverse(Mat3{}));
  EXPECT_FALSE(qn::xform::inverse(Mat3{1, 2, 3, 2, 4, 6, 0, 0, 1}));  // rows 0 and 1 dependent
}

TEST_F(XformMatrix, BoundingBoxes) {
  const Box unit{0, 0, 10, 10};
  const Mat3 toward_horizon{1, 0, 0, 0, 1, 0, -0.1, 0, 1};  // w = 0 at x = 10
  struct Case {
    Mat3 m;
    long pad;
    std::optional<Box> want;
  } cases[] = {
      {qn_test::kIdentity3, 0, Box{0, 0, 10, 10}},
      {qn_test::kIdentity3, 1, Box{-1, -1, 11, 11}},
      {qn_test::translation(0.5, 0), 0, Box{0, 0, 11, 10}},
      {qn_test::translation(1e-7, 0), 0, Box{0, 0, 10, 10}},  // inside the slack
      {qn_test::translation(-2.25, -0.75), 0, Box{-3, -1, 8, 10}},
      {{-1, 0, 0, 0, -1, 0, 0, 0, 1}, 0, Box{-10, -10, 0, 0}},
      {{1, 0, 0, 0, 1, 0, 0, 0, 2}, 0, Box{0, 0, 5, 5}},
      {qn_test::translation(9.1e18, 0), 0, Box{9100000000000000000L, 0, 9100000000000000000L, 10}},
      {qn_test::kIdentity3, kLongMax - 10,
       Box{-(kLongMax - 10), -(kLongMax - 10), kLongMax, kLongMax}},
      {toward_horizon, 0, std::nullopt},
      {{1, 0, 0, 0, 1, 0, 0, 0, -1}, 0, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(qn::xform::h_bbox(unit, c.m, c.pad), c.want);
  EXPECT_TRUE(qn::xform::h_bbox({0, 0, 9, 9}, toward_horizon, 0));
}

TEST_F(XformMatrix, BoundingBoxConversionErrors) {
  const Box unit{0, 0, 10, 10};
  expect_message<std::invalid_argument>(
      [&] {
        (void)qn::xform::h_bbox(unit, {std::nan(""), 0, 0, 0, 1, 0, 0, 0, 1}, 0);
      },
      "cannot convert float NaN to integer");
  // Growing by `pad` past the 64-bit range used to wrap silently; it is now out of range.
  const std::pair<Mat3, long> too_big[] = {
      {qn_test::scaling(1e18, 1), 0},           {qn_test::translation(INFINITY, 0), 0},
      {qn_test::kIdentity3, kLongMax},          {qn_test::kIdentity3, kLongMin},
      {qn_test::translation(-9.1e18, 0), 2e17},
  };
  for (const auto& [m, pad] : too_big)
    expect_message<std::overflow_error>([&] { (void)qn::xform::h_bbox(unit, m, pad); },
                                        "cannot convert float infinity to integer");
}

}  // namespace
