#include "xform/integers.h"

#include <algorithm>
#include <stdexcept>

namespace qn::xform::detail {
namespace {

constexpr long kMax = std::numeric_limits<long>::max();
constexpr long kMin = std::numeric_limits<long>::min();

[[noreturn]] void out_of_range() {
  throw std::overflow_error("cannot convert float infinity to integer");
}

}  // namespace

long to_integer(double v) {
  if (std::isnan(v)) throw std::invalid_argument("cannot convert float NaN to integer");
  if (std::fabs(v) >= 9.2e18) out_of_range();
  return static_cast<long>(v);
}

int selector(double v, int fallback) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return fallback;
  return static_cast<int>(v);
}

long checked_add(long a, long b) {
  long r;
  if (__builtin_add_overflow(a, b, &r)) out_of_range();
  return r;
}

long checked_sub(long a, long b) {
  long r;
  if (__builtin_sub_overflow(a, b, &r)) out_of_range();
  return r;
}

long saturating_sub(long a, long b) {
  long r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kMax : kMin;
  return r;
}

long saturating_twice(long a) {
  long r;
  if (__builtin_add_overflow(a, a, &r)) return a < 0 ? kMin : kMax;
  return r;
}

Box format_margin(long width, long height) {
  return {saturating_sub(0, width), saturating_sub(0, height), saturating_twice(width),
          saturating_twice(height)};
}

Box clamp_box(const Box& box, const Box& limit) {
  Box r{std::max(box[0], limit[0]), std::max(box[1], limit[1]), std::min(box[2], limit[2]),
        std::min(box[3], limit[3])};
  if (r[0] < r[2] && r[1] < r[3]) return r;
  // x0 ≤ x1 − 1 ≤ max − 1 here, so x0 + 1 cannot wrap.
  const long x0 = std::min(r[0], saturating_sub(box[2], 1));
  const long y0 = std::min(r[1], saturating_sub(box[3], 1));
  return {x0, y0, x0 + 1, y0 + 1};
}

Box unite(const Box& a, const Box& b) {
  return {std::min(a[0], b[0]), std::min(a[1], b[1]), std::max(a[2], b[2]), std::max(a[3], b[3])};
}

}  // namespace qn::xform::detail
