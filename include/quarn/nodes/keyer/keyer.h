// quarn/nodes/keyer/keyer.h — keyer knobs as shader parameters: a sorted four-point range, the
// level count of a fill pyramid, and the channel weights of a screen colour.
//
// Pure functions: nothing owned, nothing locked, any thread; none fails or allocates.
#pragma once

#include <array>

#include "quarn/export.h"

namespace qn::nodes::keyer {

/// Each pair ordered, then the second pair raised to at least the first pair's larger value:
/// four non-decreasing values for ordinary numbers (NaNs pass through unordered).
QN_API std::array<double, 4> keyer_range(const std::array<double, 4>& v);

/// The smallest n in 1..9 with max(width, height) <= max(0.5, size) x 2^(n-1), else 10.
QN_API int fill_levels(double size, long long width, long long height);

/// The screen's primary channel (green on ties with green, blue on a red/blue tie; green when the
/// chosen value is not above 0) as a unit vector in `primary`; `secondary` gives the other two
/// channels `balance` and 1 - `balance`, in r, g, b order. Returns 0 red, 1 green or 2 blue.
QN_API int screen_channels(const std::array<double, 3>& screen, double balance,
                           std::array<double, 3>& primary, std::array<double, 3>& secondary);

}  // namespace qn::nodes::keyer
