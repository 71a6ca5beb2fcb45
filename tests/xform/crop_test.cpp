#include "quarn/xform/crop.h"

#include "support/blas.h"
#include "support/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace {

using qn::xform::CropPlan;
using qn_test::expect_message;
using Box = std::array<long, 4>;
using Edges = std::array<double, 4>;

class XformCrop : public qn_test::WithHostBlas {};

const Box kImage{0, 0, 100, 80};

CropPlan crop(double x0, double y0, double x1, double y1, bool clip = false,
              bool reformat = false) {
  return qn::xform::crop_plan(x0, y0, x1, y1, clip, kImage, reformat, 100, 80);
}

TEST_F(XformCrop, WindowCoversThePixelCentresInside) {
  const CropPlan p = crop(10.25, 20.75, 50.5, 60.4);
  EXPECT_EQ(p.box, (Edges{10.25, 20.75, 50.5, 60.4}));
  EXPECT_EQ(p.window, (Box{10, 21, 50, 60}));
  // x from the window's left; y down from its top (wy1 = 60).
  EXPECT_EQ(p.edges[0], 0.25);
  EXPECT_NEAR(p.edges[1], -0.4, 1e-12);
  EXPECT_EQ(p.edges[2], 40.5);
  EXPECT_EQ(p.edges[3], 39.25);
  EXPECT_EQ(p.format, (std::array<long, 2>{100, 80}));
  EXPECT_EQ(p.place, p.window);
}

TEST_F(XformCrop, ACropNarrowerThanAPixelStillCoversOne) {
  EXPECT_EQ(crop(0.4, 0.4, 0.6, 0.6).window, (Box{0, 0, 1, 1}));
  EXPECT_EQ(crop(7, 7, 7, 7).window, (Box{7, 7, 8, 8}));
}

TEST_F(XformCrop, FarEdgesNeverPassNearOnes) {
  const CropPlan p = crop(30, 40, 10, 5);
  EXPECT_EQ(p.box, (Edges{30, 40, 30, 40}));
  EXPECT_EQ(p.window, (Box{30, 40, 31, 41}));
}

TEST_F(XformCrop, ClipKeepsTheCropInsideTheDataWindow) {
  EXPECT_EQ(crop(-20, -5, 150, 60, true).box, (Edges{0, 0, 100, 60}));
  EXPECT_EQ(crop(-20, -5, 150, 60, false).box, (Edges{-20, -5, 150, 60}));
  EXPECT_EQ(crop(120, 0, 150, 10, true).box, (Edges{120, 0, 120, 10}));
}

TEST_F(XformCrop, ReformatRoundsTiesToEven) {
  const CropPlan p = crop(2.5, 3.5, 6.0, 9.0, false, true);
  // Origin (2, 4); size (3.5, 5.5) → (4, 6).
  EXPECT_EQ(p.format, (std::array<long, 2>{4, 6}));
  EXPECT_EQ(p.window, (Box{2, 3, 6, 9}));
  EXPECT_EQ(p.place, (Box{0, -1, 4, 5}));

  EXPECT_EQ(crop(0.5, 0.5, 0.6, 0.6, false, true).format, (std::array<long, 2>{1, 1}));
}

TEST_F(XformCrop, NonFiniteEdgesRaiseTheConversionErrors) {
  expect_message<std::invalid_argument>([] { crop(std::nan(""), 0, 10, 10); },
                                        "cannot convert float NaN to integer");
  expect_message<std::overflow_error>([] { crop(0, 0, INFINITY, 10); },
                                      "cannot convert float infinity to integer");
  expect_message<std::overflow_error>([] { crop(-9e18, 0, 9e18, 10, false, true); },
                                      "cannot convert float infinity to integer");
  // Clipping replaces a NaN edge by the data window's.
  EXPECT_EQ(crop(std::nan(""), 0, 10, 10, true).window, (Box{0, 0, 10, 10}));
}

}  // namespace
