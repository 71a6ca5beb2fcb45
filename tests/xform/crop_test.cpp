#include "quarn/xform/crop.h"

#include "support/blas.h"
#include "support/matrices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace {

using namespace qn::xform;

using Edges = std::array<double, 4>;

class XformCrop : public qn_test::WithHostBlas {};

CropPlan crop(Edges e, bool clip = false, bool reformat = false) {
  return crop_plan(e[0], e[1], e[2], e[3], clip, {0, 0, 100, 80}, reformat, 100, 80);
}

TEST_F(XformCrop, WindowsEdgesPlacementAndConversionErrors) {
  struct Case {
    Edges in;
    bool clip, reformat;
    Edges box;
    std::array<long, 4> window;
    std::array<long, 2> format;
    std::array<long, 4> place;
  } cases[] = {
      // clang-format off
      {{10.25, 20.75, 50.5, 60.5}, false, false, {10.25, 20.75, 50.5, 60.5}, {10, 21, 50, 60},
       {100, 80}, {10, 21, 50, 60}},
      {{0.4, 0.4, 0.6, 0.6}, false, false, {0.4, 0.4, 0.6, 0.6}, {0, 0, 1, 1}, {100, 80},
       {0, 0, 1, 1}},  // narrower than a pixel
      {{30, 40, 10, 5}, false, false, {30, 40, 30, 40}, {30, 40, 31, 41}, {100, 80},
       {30, 40, 31, 41}},  // far edges held
      {{-20, -5, 150, 60}, true, false, {0, 0, 100, 60}, {0, 0, 100, 60}, {100, 80},
       {0, 0, 100, 60}},  // clipped
      {{NAN, 0, 10, 10}, true, false, {0, 0, 10, 10}, {0, 0, 10, 10}, {100, 80},
       {0, 0, 10, 10}},  // NaN clipped away
      {{2.5, 3.5, 6, 9}, false, true, {2.5, 3.5, 6, 9}, {2, 3, 6, 9}, {4, 6}, {0, -1, 4, 5}},
      {{0.5, 0.5, 0.6, 0.6}, false, true, {0.5, 0.5, 0.6, 0.6}, {0, 0, 1, 1}, {1, 1}, {0, 0, 1, 1}},
      // clang-format on
  };
  for (const Case& c : cases) {
    const CropPlan p = crop(c.in, c.clip, c.reformat);
    EXPECT_EQ(std::tie(p.box, p.window, p.format, p.place),
              std::tie(c.box, c.window, c.format, c.place));
  }
  // x from the window's left, y down from its top (window y1 = 60).
  EXPECT_EQ(crop({10.25, 20.75, 50.5, 60.5}).edges, (Edges{0.25, -0.5, 40.5, 39.25}));

  EXPECT_THAT(
      [] {
        crop({NAN, 0, 10, 10});
      },
      qn_test::throws<std::invalid_argument>(qn_test::kNaNToInteger));
  for (Edges e : {Edges{0, 0, INFINITY, 10}, Edges{-9e18, 0, 9e18, 10}})
    EXPECT_THAT([&] { crop(e, false, true); },
                qn_test::throws<std::overflow_error>(qn_test::kInfToInteger));
}

}  // namespace
