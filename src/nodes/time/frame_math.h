// Frame arithmetic shared by the time nodes: saturating double-to-frame conversion and a type
// wide enough for any sum or difference of two int64 frames.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace qn::nodes::time::detail {

// Every sum, difference or doubled difference of int64 values fits without wrapping.
using Wide = __int128;

inline constexpr long long MIN_FRAME = std::numeric_limits<long long>::min();
inline constexpr long long MAX_FRAME = std::numeric_limits<long long>::max();

// An integral double as a frame: beyond the int64 range it saturates, NaN gives 0. (2^63 is
// the first double above MAX_FRAME; -2^63 is MIN_FRAME exactly.)
inline long long saturate(double integral) {
  if (std::isnan(integral)) return 0;
  if (integral >= 0x1p63) return MAX_FRAME;
  if (integral < -0x1p63) return MIN_FRAME;
  return static_cast<long long>(integral);
}

inline long long floor_frame(double x) { return saturate(std::floor(x)); }

}  // namespace qn::nodes::time::detail
