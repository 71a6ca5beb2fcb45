#include "shot.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "quarn/anim/curve.h"
#include "quarn/nodes/time/frame_mapping.h"

namespace demo {
namespace {

namespace tn = qn::nodes::time;

constexpr std::uint8_t kSmooth = qn::anim::KEY_SMOOTH, kLinear = qn::anim::KEY_LINEAR;

// The animated knobs, over the shot's normalised time u in [0, 1]; their slopes are computed
// once.
const qn::anim::Curve ROTATE({{0, -8, kSmooth}, {0.5, 25, kSmooth}, {1, 10, kSmooth}}, false);
const qn::anim::Curve SCALE({{0, 0.8, kSmooth}, {0.6, 1.15, kSmooth}, {1, 1.0, kSmooth}}, false);
const qn::anim::Curve BLUR({{0, 2, kLinear}, {0.5, 36, kSmooth}, {1, 4, kSmooth}}, false);

double unit_time(const Shot& shot, long long frame) {
  const double span = static_cast<double>(shot.last - shot.first);
  return span > 0 ? static_cast<double>(frame - shot.first) / span : 0.0;
}

}  // namespace

long long source_last(const Shot& shot) { return shot.first + (shot.last - shot.first) / 2; }

Knobs knobs_at(const Shot& shot, long long frame) {
  Knobs k;
  // Retime: the output range plays the source range at about half speed, nearest frame.
  const tn::RetimeRanges r = tn::retime_ranges(
      static_cast<double>(shot.first), static_cast<double>(source_last(shot)), 0, false, 0, false,
      static_cast<double>(shot.first), true, static_cast<double>(shot.last), true, 1);
  const std::optional<double> pos = tn::retime_pos(frame, r, tn::EDGE_HOLD, tn::EDGE_HOLD);
  k.source_frame =
      std::clamp(tn::whole(r.in_first + pos.value_or(0), true), shot.first, source_last(shot));
  const double u = unit_time(shot, frame);
  k.rotate = ROTATE.value(u);
  k.scale = SCALE.value(u);
  k.blur = BLUR.value(u);
  k.merge_op = shot.edited ? "screen" : "over";
  k.merge_mix = 1;
  k.background = {0.05f, 0.07f, 0.12f, 1.0f};
  // blackpoint, whitepoint, lift, gain, multiply, offset, gamma (three each)
  k.grade = {0.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f, 0.02f, 0.01f, 0.0f, 1.1f, 1.0f,
             0.9f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 0.01f, 1.0f,  1.1f, 1.2f};
  k.fade = static_cast<float>(std::min(1.0, 0.25 + u * 3));
  return k;
}

std::vector<std::vector<double>> transform_steps(const Shot& shot, const Knobs& k) {
  // kind | translate x, y | rotate | scale x, y | skew x, y | skew order | centre x, y | invert
  return {{0, 0, 0, k.rotate, k.scale, k.scale, 0, 0, 0, shot.width / 2.0, shot.height / 2.0, 0}};
}

std::vector<double> blur_params(const Shot& shot, const Knobs& k) {
  // size x, y | filter (gaussian) | size limit | box x0, y0, x1, y1
  return {k.blur,
          k.blur,
          2,
          static_cast<double>(shot.blur_limit),
          0,
          0,
          static_cast<double>(shot.width),
          static_cast<double>(shot.height)};
}

const qn::nodes::color::Spec& grade_spec() {
  static const qn::nodes::color::Spec spec = [] {
    using qn::nodes::color::Source;
    qn::nodes::color::Spec s;
    const char* knobs[] = {"blackpoint", "whitepoint", "lift", "gain",
                           "multiply",   "offset",     "gamma"};
    const char* uniforms[] = {"u_black",    "u_white",  "u_lift", "u_gain",
                              "u_multiply", "u_offset", "u_gamma"};
    for (int i = 0; i < 7; ++i) {
      s.knobs.push_back({knobs[i], 3, {0, 0, 0}});
      std::vector<Source> sources;
      for (int c = 0; c < 3; ++c) sources.push_back({0, i, c, 0});
      s.uniforms.push_back({uniforms[i], sources});
    }
    s.uniforms.push_back({"u_mix", {{1, 0, 0, 0}}});  // from input 0, the fade
    std::string err;
    if (!s.finish(&err)) throw std::logic_error("grade spec: " + err);
    return s;
  }();
  return spec;
}

std::vector<float> source_pattern(long long frame, int width, int height) {
  std::vector<float> px(static_cast<size_t>(width) * height * 4);
  const double t = static_cast<double>(frame) * 0.15;
  const double cx = width * (0.5 + 0.22 * std::cos(t)),
               cy = height * (0.5 + 0.2 * std::sin(1.3 * t));
  const double radius = 0.3 * std::min(width, height), soft = 0.04 * std::min(width, height) + 1;
  const double cell = std::max(4.0, std::min(width, height) / 9.0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
      const double d = std::hypot(dx, dy);
      const double alpha = std::clamp((radius - d) / soft + 0.5, 0.0, 1.0);
      const bool check = (static_cast<long>(std::floor((dx + dy) / cell)) +
                          static_cast<long>(std::floor((dx - dy) / cell))) %
                             2 ==
                         0;
      const double angle = std::atan2(dy, dx) + t;
      const double rgb[3] = {0.55 + 0.45 * std::cos(angle), 0.55 + 0.45 * std::cos(angle - 2.1),
                             0.55 + 0.45 * std::cos(angle + 2.1)};
      float* p = &px[(static_cast<size_t>(y) * width + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = static_cast<float>(rgb[c] * (check ? 1.0 : 0.35) * alpha);
      p[3] = static_cast<float>(alpha);
    }
  return px;
}

int source_layout(long long frame) {
  if (frame % 4 == 3) return 2;
  return frame % 2 == 0 ? 1 : 0;
}

}  // namespace demo
