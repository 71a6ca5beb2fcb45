#include "quarn/anim/curve.h"

#include <cstddef>
#include <utility>

namespace qn::anim {

NotCompilable::~NotCompilable() = default;

namespace {

// A time step of exactly 0 (keys out of order can produce one) divides by 1e-9 instead.
double step_or_tiny(double dt) { return dt == 0 ? 1e-9 : dt; }

double secant(const std::vector<Key>& k, std::size_t a, std::size_t b) {
  return (k[b].v - k[a].v) / step_or_tiny(k[b].t - k[a].t);
}

// The smooth slope: one-sided secants at the ends, central differences in between.
double default_slope(const std::vector<Key>& k, std::size_t i) {
  const std::size_t last = k.size() - 1;
  if (i == 0) return secant(k, 0, 1);
  if (i == last) return secant(k, last - 1, last);
  return secant(k, i - 1, i + 1);
}

// Slopes of the natural cubic spline through all keys (second derivatives 0 at both ends).
//
// The second derivatives M solve a tridiagonal system, one row per key:
//
//   [ 1                          ] [M0  ]   [ 0   ]
//   [ h0  2(h0+h1)  h1           ] [M1  ]   [ r1  ]    r_i = 6 (secant_i - secant_{i-1})
//   [      ...      ...    ...   ] [... ] = [ ... ]    h_i = t_{i+1} - t_i
//   [                          1 ] [Mn-1]   [ 0   ]
//
// solved by the Thomas algorithm: forward elimination leaves an upper bidiagonal system
// (super-diagonal c', right-hand side d'), then back substitution.
std::vector<double> spline_slopes(const std::vector<Key>& k) {
  const std::size_t n = k.size();
  std::vector<double> slope(n);
  if (n == 2) {
    const double dt = k[1].t - k[0].t;
    const double dv = k[1].v - k[0].v;
    slope[0] = slope[1] = dt == 0 ? dv : dv / dt;
    return slope;
  }
  std::vector<double> h(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) h[i] = step_or_tiny(k[i + 1].t - k[i].t);

  std::vector<double> c(n, 0.0), d(n, 0.0);  // c' and d' of the eliminated rows
  const auto pivot_checked = [](double p) {
    if (p == 0) throw NotCompilable("ZeroDivisionError");
    return p;
  };
  // Row 0 is M0 = 0: c'0 = 0 / 1, d'0 = 0 / 1.
  for (std::size_t i = 1; i + 1 < n; ++i) {
    const double sub = h[i - 1], diag = 2 * (h[i - 1] + h[i]), super = h[i];
    const double rhs = 6 * ((k[i + 1].v - k[i].v) / h[i] - (k[i].v - k[i - 1].v) / h[i - 1]);
    const double pivot = pivot_checked(diag - sub * c[i - 1]);
    c[i] = super / pivot;
    d[i] = (rhs - sub * d[i - 1]) / pivot;
  }
  // Row n-1 is M(n-1) = 0 with pivot 1, so d'(n-1) = 0.
  std::vector<double> m(n, 0.0);
  for (std::size_t i = n - 1; i-- > 1;) m[i] = d[i] - c[i] * m[i + 1];

  for (std::size_t i = 0; i + 1 < n; ++i)
    slope[i] = (k[i + 1].v - k[i].v) / h[i] - h[i] * (2 * m[i] + m[i + 1]) / 6;
  slope[n - 1] = (k[n - 1].v - k[n - 2].v) / h[n - 2] + h[n - 2] * (2 * m[n - 1] + m[n - 2]) / 6;
  return slope;
}

bool is_interior_extremum(const std::vector<Key>& k, std::size_t i) {
  return (k[i + 1].v - k[i].v) * (k[i].v - k[i - 1].v) <= 0;
}

}  // namespace

void slopes(const std::vector<Key>& keys, std::vector<double>& in, std::vector<double>& out) {
  const std::size_t n = keys.size();
  in.assign(n, 0.0);
  out.assign(n, 0.0);
  if (n < 2) return;

  std::vector<double> spline;  // solved on the first mode-4 key
  const std::size_t last = n - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const Key& key = keys[i];
    switch (key.mode) {
      case 0:
      case 5:
        break;
      case 1:
        in[i] = secant(keys, i == 0 ? 0 : i - 1, i == 0 ? 1 : i);
        out[i] = secant(keys, i == last ? last - 1 : i, i == last ? last : i + 1);
        break;
      case 2:
        if (i != 0 && i != last && is_interior_extremum(keys, i)) break;
        in[i] = out[i] = default_slope(keys, i);
        break;
      case 4:
        if (spline.empty()) spline = spline_slopes(keys);
        in[i] = out[i] = spline[i];
        break;
      case 6:
        in[i] = key.has_in ? key.in_slope : default_slope(keys, i);
        out[i] = key.has_out ? key.out_slope : in[i];
        break;
      default:
        in[i] = out[i] = default_slope(keys, i);
        break;
    }
  }
}

Curve::Curve(std::vector<Key> sorted_keys, bool extrapolate_ends)
    : keys(std::move(sorted_keys)), extrapolate(extrapolate_ends) {
  for (std::size_t i = 0; i + 1 < keys.size(); ++i)
    if (keys[i + 1].t - keys[i].t == 0) throw NotCompilable("equal key times");
  if (!keys.empty()) slopes(keys, in, out);
}

double Curve::value(double t) const {
  const std::size_t n = keys.size();
  if (n == 0) return 0.0;
  // Slopes that no longer match the keys (the host edited the fields) count as 0.
  const bool sized = in.size() == n && out.size() == n;
  const auto slope_in = [&](std::size_t i) { return sized ? in[i] : 0.0; };
  const auto slope_out = [&](std::size_t i) { return sized ? out[i] : 0.0; };

  const Key& first = keys.front();
  const Key& last = keys.back();
  if (t <= first.t) return extrapolate && n >= 2 ? first.v + slope_in(0) * (t - first.t) : first.v;
  if (t >= last.t) return extrapolate && n >= 2 ? last.v + slope_out(n - 1) * (t - last.t) : last.v;

  std::size_t lo = 0, hi = n - 1;
  while (hi - lo > 1) {
    const std::size_t mid = (lo + hi) / 2;
    (t >= keys[mid].t ? lo : hi) = mid;
  }
  const Key& a = keys[lo];
  const Key& b = keys[hi];
  if (a.mode == 0) return a.v;

  const double d = b.t - a.t;
  const double s = (t - a.t) / d;
  const double s2 = s * s, s3 = s2 * s;
  return (2 * s3 - 3 * s2 + 1) * a.v + (s3 - 2 * s2 + s) * d * slope_out(lo) +
         (-2 * s3 + 3 * s2) * b.v + (s3 - s2) * d * slope_in(hi);
}

}  // namespace qn::anim
