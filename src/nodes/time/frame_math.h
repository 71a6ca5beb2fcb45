// Frame arithmetic shared by the time nodes: saturating double-to-frame conversion and a type
// wide enough for any sum or difference of two int64 frames.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/saturate.h"

namespace qn::nodes::time::detail {

// Every sum, difference or doubled difference of int64 values fits without wrapping.
using Wide = __int128;

inline constexpr long long MIN_FRAME = std::numeric_limits<long long>::min();
inline constexpr long long MAX_FRAME = std::numeric_limits<long long>::max();

// An integral double as a frame: beyond the int64 range it saturates, NaN gives 0.
inline long long saturate(double integral) { return platform::saturate<long long>(integral); }

inline long long floor_frame(double x) { return saturate(std::floor(x)); }

}  // namespace qn::nodes::time::detail
