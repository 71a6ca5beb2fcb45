#include "quarn/xform/matrix.h"

#include "xform/hooks.h"
#include "xform/integers.h"

#include <cmath>
#include <stdexcept>

namespace qn::xform {
namespace detail {
namespace {

// The host's routine addresses: gesv, gemm, gemv, dot. Written only by `set_blas`.
unsigned long g_hooks[4] = {0, 0, 0, 0};

template <typename Fn>
Fn as_function(unsigned long address) {
  return reinterpret_cast<Fn>(address);
}

// A value and its NaN-propagating running extremes.
void widen(double v, double& lo, double& hi) {
  if (std::isnan(v) || v < lo) lo = v;
  if (std::isnan(v) || v > hi) hi = v;
}

}  // namespace

Blas blas() {
  if (!has_blas())
    throw std::logic_error("xform: linear-algebra routines not set (call set_blas first)");
  return {as_function<GesvFn>(g_hooks[0]), as_function<GemmFn>(g_hooks[1]),
          as_function<GemvFn>(g_hooks[2]), as_function<DotFn>(g_hooks[3])};
}

bool solve3(const Blas& f, const Matrix& a, double* b, int k) {
  double a_cm[9], b_cm[9];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) a_cm[c * 3 + r] = a[r * 3 + c];
    for (int c = 0; c < k; ++c) b_cm[c * 3 + r] = b[r * k + c];
  }
  const int64_t n = 3, nrhs = k, ld = 3;
  int64_t ipiv[3], info = 0;
  f.gesv(&n, &nrhs, a_cm, &ld, ipiv, b_cm, &ld, &info);
  if (info != 0) return false;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < k; ++c) b[r * k + c] = b_cm[c * 3 + r];
  return true;
}

std::optional<Matrix> inverse(const Blas& f, const Matrix& m) {
  Matrix x = kIdentity;
  if (!solve3(f, m, x.data(), 3)) return std::nullopt;
  return x;
}

Matrix product(const Blas& f, const Matrix& a, const Matrix& b) {
  Matrix c{};
  f.gemm(kRowMajor, kNoTrans, kNoTrans, 3, 3, 3, 1.0, a.data(), 3, b.data(), 3, 0.0, c.data(), 3);
  return c;
}

std::array<double, 3> apply(const Blas& f, const Matrix& m, double x, double y) {
  const double v[3] = {x, y, 1.0};
  std::array<double, 3> out{};
  f.gemv(kRowMajor, kNoTrans, 3, 3, 1.0, m.data(), 3, v, 1, 0.0, out.data(), 1);
  return out;
}

std::optional<Box> h_bbox(const Blas& f, const Box& box, const Matrix& m, long pad) {
  const double xs[2] = {static_cast<double>(box[0]), static_cast<double>(box[2])};
  const double ys[2] = {static_cast<double>(box[1]), static_cast<double>(box[3])};
  double min_x = INFINITY, min_y = INFINITY, max_x = -INFINITY, max_y = -INFINITY;
  for (double y : ys)
    for (double x : xs) {
      const auto [X, Y, W] = apply(f, m, x, y);
      if (W <= 1e-9) return std::nullopt;
      widen(X / W, min_x, max_x);
      widen(Y / W, min_y, max_y);
    }
  return Box{checked_sub(to_integer(std::floor(min_x + 1e-6)), pad),
             checked_sub(to_integer(std::floor(min_y + 1e-6)), pad),
             checked_add(to_integer(std::ceil(max_x - 1e-6)), pad),
             checked_add(to_integer(std::ceil(max_y - 1e-6)), pad)};
}

}  // namespace detail

bool set_blas(unsigned long gesv, unsigned long gemm, unsigned long gemv, unsigned long dot) {
  detail::g_hooks[0] = gesv;
  detail::g_hooks[1] = gemm;
  detail::g_hooks[2] = gemv;
  detail::g_hooks[3] = dot;
  return has_blas();
}

bool has_blas() {
  const unsigned long* h = detail::g_hooks;
  return h[0] != 0 && h[1] != 0 && h[2] != 0 && h[3] != 0;
}

std::optional<std::array<double, 9>> inverse(const std::array<double, 9>& m) {
  return detail::inverse(detail::blas(), m);
}

std::array<double, 9> product(const std::array<double, 9>& a, const std::array<double, 9>& b) {
  return detail::product(detail::blas(), a, b);
}

std::optional<std::array<long, 4>> h_bbox(const std::array<long, 4>& box,
                                          const std::array<double, 9>& m, long pad) {
  return detail::h_bbox(detail::blas(), box, m, pad);
}

}  // namespace qn::xform
