#include "quarn/xform/crop.h"

#include "xform/hooks.h"
#include "xform/integers.h"

#include <algorithm>
#include <cmath>

namespace qn::xform {

CropPlan crop_plan(double x0, double y0, double x1, double y1, bool clip,
                   const std::array<long, 4>& bbox, bool reformat, long width, long height) {
  detail::blas();  // every xform call shares the one precondition
  if (clip) {
    x0 = std::max(static_cast<double>(bbox[0]), x0);
    y0 = std::max(static_cast<double>(bbox[1]), y0);
    x1 = std::min(static_cast<double>(bbox[2]), x1);
    y1 = std::min(static_cast<double>(bbox[3]), y1);
  }
  const double far_x = std::max(x0, x1), far_y = std::max(y0, y1);

  // Pixel centres inside the crop, and never fewer than one pixel.
  const long wx0 = detail::to_integer(std::ceil(x0 - 0.5));
  const long wy0 = detail::to_integer(std::ceil(y0 - 0.5));
  const long wx1 = std::max(wx0 + 1, detail::to_integer(std::ceil(far_x - 0.5)));
  const long wy1 = std::max(wy0 + 1, detail::to_integer(std::ceil(far_y - 0.5)));

  CropPlan p;
  p.box = {x0, y0, far_x, far_y};
  p.window = {wx0, wy0, wx1, wy1};
  const double left = static_cast<double>(wx0), top = static_cast<double>(wy1);
  p.edges = {x0 - left, top - far_y, far_x - left, top - y0};
  if (!reformat) {
    p.format = {width, height};
    p.place = p.window;
    return p;
  }
  const long rx = detail::nearest(x0), ry = detail::nearest(y0);
  p.format = {std::max(1L, detail::nearest(far_x - x0)), std::max(1L, detail::nearest(far_y - y0))};
  p.place = {detail::checked_sub(wx0, rx), detail::checked_sub(wy0, ry),
             detail::checked_sub(wx1, rx), detail::checked_sub(wy1, ry)};
  return p;
}

}  // namespace qn::xform
