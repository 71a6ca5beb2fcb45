// xform/integers.h — where computed coordinates become pixel counts and positions.
//
// Doubles reach integers only through `to_integer` (NaN and out-of-range values raise the two
// fixed messages), and integer box arithmetic saturates or raises instead of wrapping.
#pragma once

#include <array>
#include <cmath>
#include <limits>

namespace qn::xform::detail {

using Box = std::array<long, 4>;

/// Truncates toward zero. NaN: std::invalid_argument; |v| ≥ 9.2e18: std::overflow_error.
long to_integer(double v);

/// Nearest integer, ties to even, through `to_integer`.
inline long nearest(double v) { return to_integer(std::nearbyint(v)); }

/// `v` truncated when it names an int32 value; `fallback` for NaN, infinities and anything
/// outside the int32 range. For selectors (output type, resize mode) whose other values all
/// mean the same thing.
int selector(double v, int fallback);

/// a + b and a − b, raising the overflow message when the result leaves the 64-bit range.
long checked_add(long a, long b);
long checked_sub(long a, long b);

/// a − b and 2a, pinned to the 64-bit range.
long saturating_sub(long a, long b);
long saturating_twice(long a);

/// (−W, −H, 2W, 2H) without wrapping for huge formats.
Box format_margin(long width, long height);

/// `box` clamped into `limit`. When that leaves it empty it becomes the single pixel at
/// (min(x0', x1 − 1), min(y0', y1 − 1)), x0' and y0' the clamped near edges and x1 and y1 the
/// far edges before clamping.
Box clamp_box(const Box& box, const Box& limit);

/// The smallest box containing both.
Box unite(const Box& a, const Box& b);

}  // namespace qn::xform::detail
