#include "quarn/nodes/keyer/keyer.h"

#include <algorithm>
#include <utility>

namespace qn::nodes::keyer {

std::array<double, 4> keyer_range(const std::array<double, 4>& v) {
  std::array<double, 4> r = v;
  if (r[0] > r[1]) std::swap(r[0], r[1]);
  if (r[2] > r[3]) std::swap(r[2], r[3]);
  const double floor = std::max(r[0], r[1]);
  r[2] = std::max(r[2], floor);
  r[3] = std::max(r[3], floor);
  return r;
}

int fill_levels(double size, long long width, long long height) {
  const double m = std::max(0.5, size);
  const double d = static_cast<double>(std::max(width, height));
  double reach = m;  // m x 2^(n-1)
  for (int n = 1; n <= 9; ++n, reach *= 2)
    if (d <= reach) return n;
  return 10;
}

int screen_channels(const std::array<double, 3>& screen, double balance,
                    std::array<double, 3>& primary, std::array<double, 3>& secondary) {
  const auto [r, g, b] = screen;
  int c = g >= r && g >= b ? 1 : b >= r ? 2 : 0;
  if (!(screen[static_cast<std::size_t>(c)] > 0)) c = 1;
  // The two other channels, in r, g, b order, for each primary.
  constexpr int OTHERS[3][2] = {{1, 2}, {0, 2}, {0, 1}};
  primary = {0, 0, 0};
  secondary = {0, 0, 0};
  primary[static_cast<std::size_t>(c)] = 1;
  secondary[static_cast<std::size_t>(OTHERS[c][0])] = balance;
  secondary[static_cast<std::size_t>(OTHERS[c][1])] = 1 - balance;
  return c;
}

}  // namespace qn::nodes::keyer
