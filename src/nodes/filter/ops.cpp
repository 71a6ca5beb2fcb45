#include "quarn/nodes/filter/ops.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "core/saturate.h"
#include "quarn/nodes/filter/params.h"

namespace qn::nodes::filter {
namespace {

// Truncation toward zero with a defined result for every double (see ops.h).
int to_int(double v) { return platform::saturate<int>(v); }
std::int64_t to_int64(double v) { return platform::saturate<std::int64_t>(v); }

// Exact floor and ceiling of a / d for d > 0; neither can overflow.
std::int64_t floor_div(std::int64_t a, std::int64_t d) {
  std::int64_t q = a / d;
  return (a % d != 0 && a < 0) ? q - 1 : q;
}
std::int64_t ceil_div(std::int64_t a, std::int64_t d) {
  std::int64_t q = a / d;
  return (a % d != 0 && a > 0) ? q + 1 : q;
}

// max(1, hi - lo) as an int pixel count, saturating instead of wrapping.
int cell_span(std::int64_t lo, std::int64_t hi) {
  if (hi <= lo) return 1;
  std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  return span >= static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(span);
}

struct Box {
  std::int64_t x0, y0, x1, y1;
};

Box box_at(const std::vector<double>& p, size_t i) {
  return {to_int64(p[i]), to_int64(p[i + 1]), to_int64(p[i + 2]), to_int64(p[i + 3])};
}

int separable_blur(Plan& plan, int src, int filter, double sx, double sy) {
  const std::pair<const char*, double> steps[] = {{"blur_v.frag", sy}, {"blur_h.frag", sx}};
  for (auto [frag, size] : steps) {
    int r = radius(size, filter);
    if (r == 0) continue;
    src = plan.pass(frag, src, {U("u_size", size), U("u_radius", r), U("u_filter", filter)}, {}, 0,
                    0);
  }
  return src;
}

int blur_chain(Plan& plan, int src, int filter, int limit, Box box, double sx, double sy) {
  const int fx = factor(sx, limit), fy = factor(sy, limit);
  if (fx == 1 && fy == 1) return separable_blur(plan, src, filter, sx, sy);
  const std::int64_t cx0 = floor_div(box.x0, fx), cx1 = ceil_div(box.x1, fx);
  const std::int64_t cy0 = floor_div(box.y0, fy), cy1 = ceil_div(box.y1, fy);
  const std::vector<Uni> k = {U2("u_factor", fx, fy),
                              U4("u_bbox", static_cast<double>(box.x0), static_cast<double>(box.y0),
                                 static_cast<double>(box.x1), static_cast<double>(box.y1)),
                              U2("u_cell", static_cast<double>(cx0), static_cast<double>(cy1))};
  const int d =
      plan.pass("blur_downrez.frag", src, k, {}, cell_span(cx0, cx1), cell_span(cy0, cy1));
  const int b = separable_blur(plan, d, filter, sx / fx, sy / fy);
  const Plan::Image& source = plan.images()[static_cast<size_t>(src)];
  return plan.pass("blur_uprez.frag", b, k, {}, source.width, source.height);
}

// The blur chain with sizes, filter, limit and box from `p` at `at` (sx, sy, filter, limit,
// x0, y0, x1, y1).
int blur_from(Plan& plan, int src, const std::vector<double>& p, size_t at = 0) {
  return blur_chain(plan, src, to_int(p[at + 2]), to_int(p[at + 3]), box_at(p, at + 4), p[at],
                    p[at + 1]);
}

double flag(double v) { return v != 0 ? 1 : 0; }

}  // namespace

int run_op(const std::string& op, const std::vector<Tex>& inputs, const std::vector<double>& params,
           const Tex& target, unsigned bound_fbo) {
  if (inputs.empty()) return -1;
  Plan plan(inputs);
  const std::vector<double>& p = params;
  auto needs = [&](size_t n) { return p.size() >= n; };
  int result = 0;

  if (op == "blur") {
    if (!needs(8)) return -1;
    result = blur_from(plan, 0, p);
  } else if (op == "sharpen") {
    if (!needs(11)) return -1;
    const int b = blur_from(plan, 0, p);
    if (b == 0) return 0;
    result =
        plan.pass("sharpen.frag", 0, {U("u_amount", p[8]), U("u_min", p[9]), U("u_max", p[10])},
                  {{"u_blur", b}}, 0, 0);
  } else if (op == "glow") {
    if (!needs(15)) return -1;
    const int prep = plan.pass("glow_prep.frag", 0, {U("u_tolerance", p[8])}, {}, 0, 0);
    const int g = blur_from(plan, prep, p);
    result = plan.pass("glow_add.frag", 0,
                       {U3("u_tint", p[9], p[10], p[11]), U("u_brightness", p[12]),
                        U("u_saturation", p[13]), U("u_effect_only", flag(p[14]))},
                       {{"u_glow", g}}, 0, 0);
  } else if (op == "dilate") {
    if (!needs(1)) return -1;
    const double a = std::fabs(p[0]);
    const double n = std::trunc(a);
    std::vector<Uni> u = {U("u_n", n), U("u_frac", a - n), U("u_max", p[0] > 0 ? 1 : 0),
                          U("u_axis", 0)};
    const int d1 = plan.pass("dilate.frag", 0, u, {}, 0, 0);
    u.back() = U("u_axis", 1);
    result = plan.pass("dilate.frag", d1, u, {}, 0, 0);
  } else if (op == "filter_erode") {
    if (!needs(2)) return -1;
    const int filter = to_int(p[1]);
    const double s = 2 * std::fabs(p[0]) + 1;
    const double g = p[0] > 0 ? 1 : 0;
    const std::vector<Uni> base = {U("u_size", s), U("u_radius", radius(s, filter)),
                                   U("u_filter", filter)};
    auto with = [&](double axis, double in, double out) {
      std::vector<Uni> u = base;
      u.insert(u.end(), {U("u_axis", axis), U("u_in", in), U("u_out", out)});
      return u;
    };
    const int e1 = plan.pass("filter_erode.frag", 0, with(0, g, 0), {}, 0, 0);
    result = plan.pass("filter_erode.frag", e1, with(1, 0, g), {}, 0, 0);
  } else if (op == "erode") {
    if (!needs(7)) return -1;
    const double a = p[0], b = p[1];
    const int limit = to_int(p[2]);
    const Box box = box_at(p, 3);
    if (a != 0) {
      const int e = blur_chain(plan, 0, 1, limit, box, 2 * std::fabs(a), 2 * std::fabs(a));
      double scale = 1, bias = 0;
      erode_ramp(a, &scale, &bias);
      result = plan.pass("erode_blur.frag", e,
                         {U("u_a", scale), U("u_b", bias), U("u_grow", a < 0 ? 1 : 0)}, {}, 0, 0);
    }
    if (b > 0) result = blur_chain(plan, result, 3, limit, box, b, b);
  } else if (op == "edgeblur") {
    if (!needs(14) || inputs.size() < 2) return -1;
    const int b = blur_from(plan, 0, p);
    result =
        plan.pass("edgeblur.frag", 0,
                  {U("u_matte_ch", p[8]), U("u_edge_mult", p[9]), U3("u_tint", p[10], p[11], p[12]),
                   U("u_brightness", p[13]), U("u_amount_only", 0)},
                  {{"u_blur", b}, {"u_matte", 1}}, 0, 0);
  } else if (op == "disc") {
    if (!needs(3)) return -1;
    const double rx = p[0], ry = p[1], d = p[2];
    if (std::max(rx, ry) < 0.5) return 0;
    int prefix = 0;
    if (inputs.size() >= 2) {
      prefix = 1;
    } else if (d == 0) {
      prefix = std::max(0, plan.pass("row_prefix.frag", 0, {U("u_tile", 64)}, {}, 0, 0));
    }
    result = plan.pass("disc_blur.frag", 0,
                       {U2("u_radius", rx, ry), U("u_tile", 64), U("u_direct", flag(d))},
                       {{"u_prefix", prefix}}, 0, 0);
  } else {
    return -1;
  }
  return plan.run(result, target, bound_fbo);
}

std::vector<std::string> op_frags(const std::string& op) {
  std::vector<std::string> blur = {"blur_v.frag", "blur_h.frag", "blur_downrez.frag",
                                   "blur_uprez.frag"};
  auto blur_and = [&](std::initializer_list<const char*> more) {
    blur.insert(blur.end(), more.begin(), more.end());
    return blur;
  };
  if (op == "blur") return blur;
  if (op == "sharpen") return blur_and({"sharpen.frag"});
  if (op == "glow") return blur_and({"glow_prep.frag", "glow_add.frag"});
  if (op == "edgeblur") return blur_and({"edgeblur.frag"});
  if (op == "erode") return blur_and({"erode_blur.frag"});
  if (op == "dilate") return {"dilate.frag"};
  if (op == "filter_erode") return {"filter_erode.frag"};
  if (op == "disc") return {"row_prefix.frag", "disc_blur.frag"};
  return {};
}

}  // namespace qn::nodes::filter
