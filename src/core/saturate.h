// src/core/saturate.h — doubles to signed integers with a defined result for every input:
// truncation toward zero, NaN to 0, anything beyond the type's range to the nearer end.
#pragma once

#include <cmath>
#include <concepts>
#include <limits>

namespace qn::platform {

template <std::signed_integral T>
inline T saturate(double v) {
  constexpr T LO = std::numeric_limits<T>::min();
  constexpr T HI = std::numeric_limits<T>::max();
  // LO is -2^(bits-1), exact as a double; 2^(bits-1) is the first double above HI.
  if (std::isnan(v)) return 0;
  if (v <= static_cast<double>(LO)) return LO;
  if (v >= -static_cast<double>(LO)) return HI;
  return static_cast<T>(v);
}

}  // namespace qn::platform
