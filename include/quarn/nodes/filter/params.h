// quarn/nodes/filter/params.h — the integers and coefficients the filter shaders are given for
// a user-facing filter size.
//
// Pure functions: they own nothing, take no locks, may be called from any thread and never
// throw. Every double-to-int step here has a defined result for every input: NaN sizes give the
// neutral value (radius 0, factor 1) and results beyond the int range are clamped.
#pragma once

#include "quarn/export.h"

namespace qn::nodes::filter {

/// The largest kernel radius `radius` returns.
inline constexpr int MAX_RADIUS = 4096;

/// Kernel radius in pixels of a blur of `size` with filter code `filter`:
///   0 (box)       ceil((size - 1) / 2 - 1e-9)
///   1 (triangle)  ceil(size - 1e-9) - 1
///   other         floor(size * 1.5 + 1e-9)   (gaussian)
/// 0 for size <= 0, NaN or a result not above 0; at most MAX_RADIUS.
QN_API int radius(double size, int filter);

/// Resolution reduction factor per axis for a blur of `size` whose full-resolution size is
/// limited to `limit`: 1 when `limit` < 1 or `limit` >= `size`, else ceil(size / limit - 1e-9).
/// A NaN `size` gives 1; a factor beyond the int range (a huge or infinite size) gives INT_MAX.
QN_API int factor(double size, int limit);

/// Scale and bias that re-stretch a matte blurred by a triangle of half-width 2|amount| so that
/// the band [|amount| - 0.5, |amount| + 0.5] maps to [0, 1]. scale 1, bias -0.0 for |amount| <=
/// 1/6. A NaN or infinite amount gives scale 1e6, bias -1e6 (the narrowest ramp).
QN_API void erode_ramp(double amount, double* scale, double* bias);

}  // namespace qn::nodes::filter
