#include "quarn/nodes/time/temporal_weights.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "nodes/time/frame_math.h"

namespace qn::nodes::time {

namespace {

// Neumaier's compensated sum: c collects the low-order bits each addition loses, taken from
// whichever operand is smaller in magnitude.
double compensated_sum(const std::vector<std::pair<long long, double>>& weights) {
  double s = 0, c = 0;
  for (const auto& [frame, x] : weights) {
    const double t = s + x;
    c += std::abs(s) >= std::abs(x) ? (s - t) + x : (x - t) + s;
    s = t;
  }
  return c != 0 && std::isfinite(c) ? s + c : s;
}

}  // namespace

std::vector<std::pair<long long, double>> box_weights(double centre, double width) {
  std::vector<std::pair<long long, double>> weights;
  if (!std::isfinite(centre)) return weights;
  // fmax, unlike std::max, prefers the number to a NaN width.
  const double w = std::min(std::fmax(width, 1e-6), MAX_BOX_WIDTH);
  const double a = centre - w / 2, b = centre + w / 2;
  const long long f0 = detail::floor_frame(a + 0.5);
  const long long f1 = detail::floor_frame(b + 0.5);
  if (f0 > f1) return weights;
  // Counting up to f1 inclusive without stepping past it: f1 may be the largest int64.
  for (long long f = f0;; ++f) {
    const double fd = static_cast<double>(f);
    const double overlap = std::min(fd + 0.5, b) - std::max(fd - 0.5, a);
    if (overlap > 1e-9) weights.emplace_back(f, overlap);
    if (f == f1) break;
  }
  double total = compensated_sum(weights);
  if (total == 0) total = 1;
  for (auto& entry : weights) entry.second /= total;
  return weights;
}

std::vector<std::pair<long long, double>> shutter_weights(double frame, long long samples,
                                                          double shutter, int mode, double offset) {
  const long long n = std::clamp(samples, 1LL, MAX_SHUTTER_SAMPLES);
  double start = offset;
  switch (mode) {
    case 0:
      start = -shutter / 2;
      break;
    case 1:
      start = 0;
      break;
    case 2:
      start = -shutter;
      break;
  }
  const double base = frame + start;

  std::map<long long, double> counts;
  const auto land = [&counts](double time) {
    const double nearest = std::floor(time + 0.5);
    if (std::isfinite(nearest)) counts[detail::saturate(nearest)] += 1.0;
  };
  if (n < 2) {
    land(base + shutter / 2);
  } else {
    for (long long i = 0; i < n; ++i)
      land(base + static_cast<double>(i) * shutter / static_cast<double>(n - 1));
  }
  return {counts.begin(), counts.end()};
}

}  // namespace qn::nodes::time
