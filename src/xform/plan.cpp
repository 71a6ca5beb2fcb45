#include "quarn/xform/plan.h"

#include "xform/chain.h"
#include "xform/integers.h"

#include <algorithm>
#include <cmath>

namespace qn::xform {
namespace {

using detail::Blas;
using detail::Box;
using detail::Matrix;

TotalOut total_of(const Blas& f, const std::vector<std::vector<double>>& steps, long width,
                  long height) {
  TotalOut out{detail::kIdentity, width, height, {}, false};
  for (const std::vector<double>& step : steps) {
    bool wants_crop = false;
    const std::optional<Matrix> m = detail::step_matrix(f, step, out.width, out.height, wants_crop);
    if (!m) {
      out.matrix.reset();
      return out;
    }
    out.matrix = detail::product(f, *m, *out.matrix);

    // A crop rides along through each step's matrix; a cropping step cuts it to its format.
    const Box format{0, 0, out.width, out.height};
    if (out.has_crop) {
      const std::optional<Box> mapped = detail::h_bbox(f, out.crop, *m, 0);
      out.has_crop = mapped.has_value();
      if (mapped) out.crop = *mapped;
    }
    if (wants_crop) {
      out.crop = out.has_crop ? detail::clamp_box(out.crop, format) : format;
      out.has_crop = true;
    }
  }
  return out;
}

bool near_integer(double v) { return std::fabs(v - std::nearbyint(v)) <= 1e-6; }

// Within 1e-9 of the identity after dividing by m8 (NaN never is).
bool is_identity(const Matrix& m) {
  double worst = 0;
  for (int i = 0; i < 9; ++i) {
    const double d = std::fabs(m[i] / m[8] - (i % 4 == 0 ? 1.0 : 0.0));
    if (std::isnan(d)) return false;
    worst = std::max(worst, d);
  }
  return worst < 1e-9;
}

// A translation by whole pixels: nothing to resample, so no pad.
bool is_whole_shift(const Matrix& m) {
  if (!(std::fabs(m[6]) < 1e-12 && std::fabs(m[7]) < 1e-12 && std::fabs(m[8]) > 1e-12))
    return false;
  const double s = m[8];
  return std::fabs(m[0] / s - 1) < 1e-9 && std::fabs(m[1] / s) < 1e-9 &&
         std::fabs(m[3] / s) < 1e-9 && std::fabs(m[4] / s - 1) < 1e-9 && near_integer(m[2] / s) &&
         near_integer(m[5] / s);
}

// Not all zeros and |det| / (max |m_ij|)³ ≥ 1e-12; false for anything non-finite.
bool well_conditioned(const Matrix& m) {
  double largest = 0;
  for (double v : m) largest = std::max(largest, std::fabs(v));
  if (!(largest > 0)) return false;
  const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                     m[2] * (m[3] * m[7] - m[4] * m[6]);
  return std::fabs(det) / (largest * largest * largest) >= 1e-12;
}

Draw nothing_to_draw() {
  Draw d;
  d.kind = DRAW_NOTHING;
  d.m[2] = d.m[5] = -1e9;
  return d;
}

double extent(long lo, long hi) { return static_cast<double>(hi) - static_cast<double>(lo); }

// The draw of sampling map `g` between an iw × ih input window and an ow × oh output window.
Draw draw_mapping(const Blas& f, const Matrix& g, double iw, double ih, double ow, double oh) {
  Draw d;
  if (std::fabs(g[6]) >= 1e-12 || std::fabs(g[7]) >= 1e-12 || std::fabs(g[8]) <= 1e-12) {
    // Rows counted down in the image, up in GL: flip y on both sides.
    const Matrix y_in{1, 0, 0, 0, -1, ih, 0, 0, 1};
    const Matrix y_out{1, 0, 0, 0, -1, oh, 0, 0, 1};
    Matrix p = detail::product(f, detail::product(f, y_in, g), y_out);
    const double centre[3] = {ow / 2, oh / 2, 1};
    if (f.dot(3, p.data() + 6, 1, centre, 1) < 0)
      for (double& v : p) v = -v;
    d.kind = DRAW_PROJECTIVE;
    d.m = p;
    return d;
  }
  const double s = g[8];
  const double a = g[0] / s, b = g[1] / s, c = g[2] / s, e_ = g[4] / s, dd = g[3] / s;
  const double f_ = g[5] / s;
  const double off = std::max({std::fabs(a - 1), std::fabs(b), std::fabs(c), std::fabs(dd),
                               std::fabs(e_ - 1), std::fabs(f_)});
  if (iw == ow && ih == oh && off < 1e-9) {
    d.kind = DRAW_IDENTITY;
    return d;
  }
  d.kind = DRAW_AFFINE;
  d.m = {a, -b, b * oh + c, -dd, e_, ih - e_ * oh - f_, 0, 0, 0};
  d.whole_pixel = std::fabs(d.m[0] - 1) < 1e-9 && std::fabs(d.m[1]) < 1e-9 &&
                  std::fabs(d.m[3]) < 1e-9 && std::fabs(d.m[4] - 1) < 1e-9 &&
                  near_integer(d.m[2]) && near_integer(d.m[5]);
  return d;
}

// G = F_in × M⁻¹ × F_out: output-window pixels to input-window pixels.
Draw draw_for(const Blas& f, const std::optional<Matrix>& m, const Box& in_box,
              const Box& out_box) {
  if (!m || !well_conditioned(*m)) return nothing_to_draw();
  const std::optional<Matrix> inv = detail::inverse(f, *m);
  if (!inv) return nothing_to_draw();
  const Matrix f_in{1, 0, -static_cast<double>(in_box[0]), 0, 1, -static_cast<double>(in_box[1]), 0,
                    0, 1};
  const Matrix f_out{
      1, 0, static_cast<double>(out_box[0]), 0, 1, static_cast<double>(out_box[1]), 0, 0, 1};
  const Matrix g = detail::product(f, detail::product(f, f_in, *inv), f_out);
  return draw_mapping(f, g, extent(in_box[0], in_box[2]), extent(in_box[1], in_box[3]),
                      std::max(1.0, extent(out_box[0], out_box[2])),
                      std::max(1.0, extent(out_box[1], out_box[3])));
}

// The output data window: the union of the input box through every bounded matrix (padded by
// a pixel unless the move is exact or a whole-pixel shift), clamped to the crop (the format's
// when cropping to it), widened to the format unless tight, held within the format's margin,
// and widened to the input box when it is kept. Without a bounded matrix: the input box within
// the margin.
Box output_box(const Blas& f, const PlanIn& in, const TotalOut& t,
               const std::vector<std::optional<Matrix>>& bounded) {
  const Box format{0, 0, t.width, t.height};
  const Box margin = detail::format_margin(t.width, t.height);

  Box crop = t.crop;
  bool cropped = t.has_crop;
  if (in.crop_format) {
    crop = cropped ? detail::clamp_box(crop, format) : format;
    cropped = true;
  }

  std::optional<Box> box;
  for (const std::optional<Matrix>& m : bounded) {
    if (!m) continue;
    const long pad = in.exact || is_whole_shift(*m) ? 0 : 1;
    const Box b = detail::h_bbox(f, in.bbox, *m, pad).value_or(margin);
    box = box ? detail::unite(*box, b) : b;
  }

  Box out;
  if (!box) {
    out = detail::clamp_box(in.bbox, margin);
  } else {
    out = *box;
    if (cropped) out = detail::clamp_box(out, crop);
    if (!in.tight) out = detail::unite(out, format);
    out = detail::clamp_box(out, margin);
  }
  if (in.keep_input) out = detail::unite(out, in.bbox);
  return out;
}

}  // namespace

TotalOut total(const std::vector<std::vector<double>>& steps, long width, long height) {
  return total_of(detail::blas(), steps, width, height);
}

long mblur_samples(double factor, const std::vector<std::optional<std::array<double, 9>>>& matrices,
                   long width, long height) {
  const Blas f = detail::blas();
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  const double corners[4][2] = {{0, 0}, {w, 0}, {0, h}, {w, h}};
  double longest = 0;
  for (const auto& corner : corners) {
    double path = 0, px = 0, py = 0;
    bool started = false;
    for (const std::optional<Matrix>& m : matrices) {
      if (!m) continue;
      const auto [X, Y, W] = detail::apply(f, *m, corner[0], corner[1]);
      if (!(std::fabs(W) > 1e-9)) continue;
      const double x = X / W, y = Y / W;
      if (started) path += std::hypot(x - px, y - py);
      px = x;
      py = y;
      started = true;
    }
    if (std::isnan(path) || path > longest) longest = path;
  }
  if (longest < 0.0001) return 0;
  return std::min(128L, detail::to_integer(std::ceil(factor * longest - 1e-9)) + 1);
}

PlanOut plan(const PlanIn& in) {
  const Blas f = detail::blas();
  const TotalOut t = total_of(f, in.steps, in.width, in.height);
  std::vector<std::optional<Matrix>> sampled;
  sampled.reserve(in.samples.size());
  for (const auto& chain : in.samples)
    sampled.push_back(total_of(f, chain, in.width, in.height).matrix);

  if (in.samples.empty() && t.matrix && t.width == in.width && t.height == in.height &&
      !t.has_crop && is_identity(*t.matrix)) {
    PlanOut none;
    none.identity = true;
    return none;
  }

  PlanOut out;
  out.width = t.width;
  out.height = t.height;
  const std::vector<std::optional<Matrix>> frame_only{t.matrix};
  out.bbox = output_box(f, in, t, in.samples.empty() ? frame_only : sampled);
  out.outside_flag = in.tight || in.outside_flag;
  out.draw = draw_for(f, t.matrix, in.bbox, out.bbox);
  out.sample_draws.reserve(sampled.size());
  for (const std::optional<Matrix>& m : sampled)
    out.sample_draws.push_back(draw_for(f, m, in.bbox, out.bbox));
  return out;
}

}  // namespace qn::xform
