#include "quarn/nodes/merge/pickers.h"

#include <algorithm>
#include <cmath>

namespace qn::nodes::merge {

DissolvePick dissolve_pick(double t, int count) {
  if (count <= 1) return {0, 0, 0};
  if (std::isnan(t) || t <= 0) return {0, 1, 0};
  const double last = count - 1;
  const double tt = std::min(t, last);  // now in (0, count - 1]: the int conversions are safe
  const double f = std::floor(tt);
  if (f >= last) return {count - 1, count - 1, 0};
  const int lo = static_cast<int>(f);
  return {lo, lo + 1, tt - f};
}

int switch_index(double which, int count) {
  if (std::isnan(which) || count < 1 || std::isinf(which)) return 0;
  const double f = std::floor(which);
  if (f <= 0) return 0;
  if (f >= count - 1) return count - 1;
  return static_cast<int>(f);
}

std::array<float, 4> constant_color(const std::array<double, 4>& color, std::string_view channels) {
  std::array<double, 4> mask{1, 1, 1, 1};
  if (channels == "rgb")
    mask = {1, 1, 1, 0};
  else if (channels == "alpha")
    mask = {0, 0, 0, 1};
  else if (channels == "none")
    mask = {0, 0, 0, 0};
  std::array<float, 4> out{};
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<float>(color[i] * mask[i]);
  return out;
}

}  // namespace qn::nodes::merge
