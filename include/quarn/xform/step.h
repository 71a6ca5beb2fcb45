// quarn/xform/step.h — the matrix of one step of a transform chain.
//
// A step is a flat vector of doubles whose first value is its kind (truncated to an int32):
//
//   kind 0, transform, 12 values:
//     0 kind | 1,2 translate x,y | 3 rotation (degrees) | 4,5 scale x,y | 6,7 skew x,y |
//     8 skew order (0: shear in x first) | 9,10 centre x,y | 11 invert
//   kind 1, reformat, 17 values:
//     0 kind | 1 output type (0 format, 1 box, 2 scale) | 2,3,4 format width, height, aspect |
//     5,6 box width, height | 7 box height given | 8 box aspect | 9,10 scale x,y |
//     11 resize (0 none, 1 width, 2 height, 3 fit, 4 fill, 5 distort) | 12 centre |
//     13 mirror vertically | 14 mirror horizontally | 15 quarter turn | 16 keep outside
//   kind 2, corner pin, 3 + 4n + 16 values:
//     0 kind | 1 invert | 2 n, the pair count | n "from" points x,y | n "to" points x,y |
//     a 4×4 row-major matrix of which rows and columns 0, 1 and 3 post-multiply the pin
//
// The matrix maps input pixel coordinates to output pixel coordinates (conventions of
// quarn/xform/matrix.h). Pure; reentrant; needs `has_blas()`.
//
// Failures (std::invalid_argument unless said otherwise):
//   "transform step: 12 values", "reformat step: 17 values",
//   "cornerpin step: 3 + 4 n + 16 values" (also for a pair count that is negative, not finite
//   or beyond the int32 range), "unknown step kind" (also for a NaN or out-of-range kind);
//   std::out_of_range for an empty step; the conversion errors of matrix.h for reformat sizes.
//   A step that cannot be represented gives no matrix: a transform inversion with
//   |det| < 1e-12, two coincident corner-pin points, a failed solve or inversion, and a reformat
//   whose scale is not finite (from a format of width or height 0, or a pixel aspect of 0 or
//   not finite). Such a reformat still sets the output format and `crop`.
#pragma once

#include "quarn/export.h"

#include <array>
#include <optional>
#include <vector>

namespace qn::xform {

/// The matrix of `step`. `width`, `height`: the current format; a reformat replaces them with
/// its output format. `crop` is set to false on entry, and to true by a reformat whose keep
/// outside value is 0 (it crops to its output format).
///
/// Reformat output type and resize mode are truncated like the kind; a value that is NaN,
/// infinite or outside the int32 range means the same as any other unlisted value (type 0,
/// resize none). Flags are "set" when they compare unequal to 0, so NaN sets them.
QN_API std::optional<std::array<double, 9>> step_matrix(const std::vector<double>& step,
                                                        long& width, long& height, bool& crop);

}  // namespace qn::xform
