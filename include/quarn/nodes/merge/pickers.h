// quarn/nodes/merge/pickers.h — the small pickers of the dissolve, switch and constant nodes.
//
// Pure functions: nothing owned, nothing locked, any thread; none fails or allocates. Doubles
// that are NaN, infinite or huge never reach an integer conversion unguarded.
#pragma once

#include <array>
#include <string_view>

#include "quarn/export.h"

namespace qn::nodes::merge {

/// The two inputs a dissolve blends and the weight of the second (0 <= frac < 1).
struct DissolvePick {
  int lo = 0;
  int hi = 0;
  double frac = 0;
};

/// For `count` inputs at position `t`: {0, 0, 0} for count <= 1; {0, 1, 0} for t NaN or <= 0;
/// {count-1, count-1, 0} from t >= count-1 on; otherwise {floor t, floor t + 1, t - floor t}.
QN_API DissolvePick dissolve_pick(double t, int count);

/// floor(which) clamped to 0..count-1; 0 for NaN or infinite `which` and for count < 1.
QN_API int switch_index(double which, int count);

/// `color` masked by the exact text `channels`: "rgb" (1,1,1,0), "alpha" (0,0,0,1),
/// "none" (0,0,0,0), anything else all ones. Each product is taken in double then narrowed, so a
/// masked NaN stays NaN.
QN_API std::array<float, 4> constant_color(const std::array<double, 4>& color,
                                           std::string_view channels);

}  // namespace qn::nodes::merge
