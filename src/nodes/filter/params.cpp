#include "quarn/nodes/filter/params.h"

#include <cmath>

#include "core/saturate.h"

namespace qn::nodes::filter {

int radius(double size, int filter) {
  if (!(size > 0)) return 0;
  double r = 0;
  if (filter == 0) {
    r = std::ceil((size - 1) * 0.5 - 1e-9);
  } else if (filter == 1) {
    r = std::ceil(size - 1e-9) - 1;
  } else {
    r = std::floor(size * 1.5 + 1e-9);
  }
  if (!(r > 0)) return 0;
  if (r >= MAX_RADIUS) return MAX_RADIUS;
  return static_cast<int>(r);
}

int factor(double size, int limit) {
  if (limit < 1 || static_cast<double>(limit) >= size || std::isnan(size)) return 1;
  return platform::saturate<int>(std::ceil(size / limit - 1e-9));
}

namespace {

// Cumulative distribution of the symmetric triangle on [-w, w].
double triangle_cdf(double x, double w) {
  if (x < -w) return 0;
  if (x < 0) return (x + w) * (x + w) / (2 * w * w);
  if (x < w) return 1 - (w - x) * (w - x) / (2 * w * w);
  return 1;
}

}  // namespace

void erode_ramp(double amount, double* scale, double* bias) {
  double a = std::fabs(amount);
  double w = 2 * a;
  if (a - 0.5 <= -w) {
    *scale = 1;
    *bias = -0.0;
    return;
  }
  double lo = triangle_cdf(a - 0.5, w);
  double hi = triangle_cdf(a + 0.5, w);
  double d = hi - lo;
  if (d < 1e-6) d = 1e-6;
  *scale = 1 / d;
  *bias = -lo / d;
}

}  // namespace qn::nodes::filter
