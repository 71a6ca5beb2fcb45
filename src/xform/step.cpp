#include "quarn/xform/step.h"

#include "xform/chain.h"
#include "xform/integers.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace qn::xform {
namespace detail {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

[[noreturn]] void malformed(const char* message) { throw std::invalid_argument(message); }

// ---------------------------------------------------------------------------------------------
// Transform: p ↦ L (p − c) + c + t with L = R · S · K.
// ---------------------------------------------------------------------------------------------
std::optional<Matrix> transform(const std::vector<double>& s) {
  const double tx = s[1], ty = s[2], theta = s[3] * kRadiansPerDegree;
  const double sx = s[4], sy = s[5], kx = s[6], ky = s[7], cx = s[9], cy = s[10];
  // K: the two shears, in the order index 8 names.
  double k00 = 1, k01 = kx, k10 = ky, k11 = 1;
  if (s[8] == 0)
    k11 += kx * ky;
  else
    k00 += kx * ky;
  // S · K, then R · (S · K).
  const double sk00 = sx * k00, sk01 = sx * k01, sk10 = sy * k10, sk11 = sy * k11;
  const double c = std::cos(theta), n = std::sin(theta);
  const double l00 = c * sk00 - n * sk10, l01 = c * sk01 - n * sk11;
  const double l10 = n * sk00 + c * sk10, l11 = n * sk01 + c * sk11;
  const double u = cx + tx - (l00 * cx + l01 * cy);
  const double v = cy + ty - (l10 * cx + l11 * cy);
  if (s[11] == 0) return Matrix{l00, l01, u, l10, l11, v, 0, 0, 1};

  const double det = l00 * l11 - l10 * l01;
  if (std::fabs(det) < 1e-12) return std::nullopt;
  return Matrix{l11 / det,  -l01 / det, -(l11 * u - l01 * v) / det,
                -l10 / det, l00 / det,  -(-l10 * u + l00 * v) / det,
                0,          0,          1};
}

// ---------------------------------------------------------------------------------------------
// Reformat: orient (turn, then mirror x, then mirror y) on input pixels, scale, then shift.
// ---------------------------------------------------------------------------------------------
struct OutputFormat {
  long width, height;
  double aspect;
};

OutputFormat output_format(const std::vector<double>& s, long iw, long ih) {
  switch (selector(s[1], 0)) {
    case 2:
      return {std::max(1L, nearest(static_cast<double>(iw) * s[9])),
              std::max(1L, nearest(static_cast<double>(ih) * s[10])), 1.0};
    case 1: {
      const long ow = std::max(1L, to_integer(s[5]));
      const double a = s[8];
      if (s[7] != 0) return {ow, std::max(1L, to_integer(s[6])), a};
      // ih × ow in 128 bits: exact, and rounded once on its way to double.
      const double area = static_cast<double>(static_cast<__int128>(ih) * ow);
      return {ow, std::max(1L, nearest(area / (static_cast<double>(iw) * a))), a};
    }
    default:
      return {to_integer(s[2]), to_integer(s[3]), s[4]};
  }
}

std::pair<double, double> reformat_scale(int resize, double iw, double ih, const OutputFormat& o) {
  const double ow = static_cast<double>(o.width), oh = static_cast<double>(o.height);
  const double a = o.aspect;
  const auto by_width = [&] { return std::pair{ow / iw, a * (ow / iw)}; };
  const auto by_height = [&] { return std::pair{(oh / ih) / a, oh / ih}; };
  switch (resize) {
    case 1:
      return by_width();
    case 2:
      return by_height();
    case 3:
      return (ow / iw) * ih * a <= oh ? by_width() : by_height();
    case 4:
      return (ow / iw) * ih * a > oh ? by_width() : by_height();
    case 5:
      return {ow / iw, oh / ih};
    default:
      return {1.0, 1.0};
  }
}

std::optional<Matrix> reformat(const std::vector<double>& s, long& width, long& height,
                               bool& crop) {
  const bool turn = s[15] != 0;
  long iw = width, ih = height;
  if (turn) std::swap(iw, ih);
  const OutputFormat out = output_format(s, iw, ih);
  const double w_in = static_cast<double>(iw), h_in = static_cast<double>(ih);
  const auto [sx, sy] = reformat_scale(selector(s[11], 0), w_in, h_in, out);

  // O, rows 0 and 1 (row 2 stays (0, 0, 1)). The turn is (x, y) ↦ (height − y, x).
  Matrix o = turn ? Matrix{0, -1, static_cast<double>(height), 1, 0, 0, 0, 0, 1} : kIdentity;
  if (s[14] != 0) o = {-o[0], -o[1], w_in - o[2], o[3], o[4], o[5], 0, 0, 1};
  if (s[13] != 0) o = {o[0], o[1], o[2], -o[3], -o[4], h_in - o[5], 0, 0, 1};

  double shift_x = 0, shift_y = 0;
  if (s[12] != 0) {
    shift_x = (static_cast<double>(out.width) - w_in * sx) / 2;
    shift_y = (static_cast<double>(out.height) - h_in * sy) / 2;
  }
  const Matrix m{sx * o[0], sx * o[1], sx * o[2] + shift_x,
                 sy * o[3], sy * o[4], sy * o[5] + shift_y,
                 0,         0,         1};

  width = out.width;
  height = out.height;
  crop = s[16] == 0;
  // A scale from a zero-sized format, or through a zero or non-finite aspect, is no map.
  if (!std::all_of(m.begin(), m.end(), [](double x) { return std::isfinite(x); }))
    return std::nullopt;
  return m;
}

// ---------------------------------------------------------------------------------------------
// Corner pin: H through the point pairs, then M = E · H.
// ---------------------------------------------------------------------------------------------
struct Pin {
  long n;
  const double* from;  // n points, x then y
  const double* to;
  const double* extra;  // the 4 × 4 matrix
};

constexpr const char* kPinCount = "cornerpin step: 3 + 4 n + 16 values";

Pin read_pin(const std::vector<double>& s) {
  if (s.size() < 3) malformed(kPinCount);
  // The count is truncated to an int32; a negative one would place the extra matrix before the
  // points, so it is as malformed as a wrong length.
  if (!(s[2] > -1.0 && s[2] < 2147483648.0)) malformed(kPinCount);
  const long n = static_cast<long>(s[2]);
  if (s.size() != static_cast<size_t>(4 * n + 19)) malformed(kPinCount);
  return {n, s.data() + 3, s.data() + 3 + 2 * n, s.data() + 3 + 4 * n};
}

// Four pairs: h0..h7 of the projective map from the 8 × 8 system, two rows per pair
//   [fx, fy, 1, 0, 0, 0, −tx·fx, −tx·fy] = tx
//   [0, 0, 0, fx, fy, 1, −ty·fx, −ty·fy] = ty
std::optional<Matrix> projective_pin(const Blas& f, const Pin& p) {
  double a[64];  // column-major: a[col * 8 + row]
  double h[8];
  for (int i = 0; i < 4; ++i) {
    const double fx = p.from[2 * i], fy = p.from[2 * i + 1];
    const double tx = p.to[2 * i], ty = p.to[2 * i + 1];
    const double row_x[8] = {fx, fy, 1, 0, 0, 0, -tx * fx, -tx * fy};
    const double row_y[8] = {0, 0, 0, fx, fy, 1, -ty * fx, -ty * fy};
    for (int c = 0; c < 8; ++c) {
      a[c * 8 + 2 * i] = row_x[c];
      a[c * 8 + 2 * i + 1] = row_y[c];
    }
    h[2 * i] = tx;
    h[2 * i + 1] = ty;
  }
  const int64_t n = 8, nrhs = 1, ld = 8;
  int64_t ipiv[8], info = 0;
  f.gesv(&n, &nrhs, a, &ld, ipiv, h, &ld, &info);
  if (info != 0) return std::nullopt;
  return Matrix{h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], 1};
}

// Three pairs: the affine X with [fx, fy, 1] X = [tx, ty] for each pair.
std::optional<Matrix> affine_pin(const Blas& f, const Pin& p) {
  Matrix rows{};
  double x[6];
  for (int i = 0; i < 3; ++i) {
    rows[3 * i] = p.from[2 * i];
    rows[3 * i + 1] = p.from[2 * i + 1];
    rows[3 * i + 2] = 1;
    x[2 * i] = p.to[2 * i];
    x[2 * i + 1] = p.to[2 * i + 1];
  }
  if (!solve3(f, rows, x, 2)) return std::nullopt;
  return Matrix{x[0], x[2], x[4], x[1], x[3], x[5], 0, 0, 1};
}

// Two pairs: rotation, uniform scale and translation; (a + ib) = (t1 − t0) / (f1 − f0).
std::optional<Matrix> similarity_pin(const Blas& f, const Pin& p) {
  const double r = p.from[2] - p.from[0], s = p.from[3] - p.from[1];
  if (std::hypot(r, s) < 1e-12) return std::nullopt;
  const double q_re = p.to[2] - p.to[0], q_im = p.to[3] - p.to[1];
  double a, b;  // Smith's division: scale by the larger of |r|, |s| to avoid overflow.
  if (std::fabs(r) >= std::fabs(s)) {
    const double e = s / r, den = r + s * e;
    a = (q_re + q_im * e) / den;
    b = (q_im - q_re * e) / den;
  } else {
    const double e = r / s, den = r * e + s;
    a = (q_re * e + q_im) / den;
    b = (q_im * e - q_re) / den;
  }
  Matrix h{a, -b, 0, b, a, 0, 0, 0, 1};
  double moved[2];
  f.gemv(kRowMajor, kNoTrans, 2, 2, 1.0, h.data(), 3, p.from, 1, 0.0, moved, 1);
  h[2] = p.to[0] - moved[0];
  h[5] = p.to[1] - moved[1];
  return h;
}

std::optional<Matrix> corner_pin(const Blas& f, const std::vector<double>& s) {
  const Pin p = read_pin(s);
  std::optional<Matrix> h;
  if (p.n >= 4)
    h = projective_pin(f, p);
  else if (p.n == 3)
    h = affine_pin(f, p);
  else if (p.n == 2)
    h = similarity_pin(f, p);
  else if (p.n == 1)
    h = Matrix{1, 0, p.to[0] - p.from[0], 0, 1, p.to[1] - p.from[1], 0, 0, 1};
  else
    h = kIdentity;
  if (!h) return std::nullopt;

  const double* e = p.extra;
  const Matrix extra{e[0], e[1], e[3], e[4], e[5], e[7], e[12], e[13], e[15]};
  const Matrix m = product(f, extra, *h);
  if (s[1] != 0) return inverse(f, m);
  return m;
}

// The kind, truncated to an int32; -1 for anything that is no int32 at all.
int step_kind(double v) { return selector(v, -1); }

}  // namespace

std::optional<Matrix> step_matrix(const Blas& f, const std::vector<double>& step, long& width,
                                  long& height, bool& crop) {
  crop = false;
  switch (step_kind(step.at(0))) {
    case 0:
      if (step.size() != 12) malformed("transform step: 12 values");
      return transform(step);
    case 1:
      if (step.size() != 17) malformed("reformat step: 17 values");
      return reformat(step, width, height, crop);
    case 2:
      return corner_pin(f, step);
    default:
      malformed("unknown step kind");
  }
}

}  // namespace detail

std::optional<std::array<double, 9>> step_matrix(const std::vector<double>& step, long& width,
                                                 long& height, bool& crop) {
  return detail::step_matrix(detail::blas(), step, width, height, crop);
}

}  // namespace qn::xform
