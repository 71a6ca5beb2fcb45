// quarn/xform/crop.h — the pixel window of a crop.
//
// Turns crop edges (doubles, possibly between pixels) into the integer window that covers them,
// the edges inside that window for a shader, and where the window lands in the output format.
// Pure; reentrant; needs `has_blas()` like every xform call. Raises the conversion errors of
// quarn/xform/matrix.h for NaN or out-of-range edges.
#pragma once

#include "quarn/export.h"

#include <array>

namespace qn::xform {

struct CropPlan {
  std::array<double, 4> box{};   // the crop edges after clipping: x0, y0, x1, y1
  std::array<long, 4> window{};  // the pixel window covering the crop (at least one pixel)
  std::array<double, 4> edges{};  // x0 − wx0, wy1 − y1, x1 − wx0, wy1 − y0: x from the window's
                                  // left, y down from its top
  std::array<long, 2> format{};  // the output format: width, height
  std::array<long, 4> place{};   // the window in output coordinates
};

/// The crop (x0, y0, x1, y1), clipped to `bbox` when `clip`. Far edges never pass near ones.
/// With `reformat` the output format becomes the crop's size (at least 1 × 1) and the window is
/// placed relative to the crop's rounded origin; otherwise the format is `width` × `height`.
QN_API CropPlan crop_plan(double x0, double y0, double x1, double y1, bool clip,
                          const std::array<long, 4>& bbox, bool reformat, long width, long height);

}  // namespace qn::xform
