#version 450 core
// filter_erode.frag — one axis (u_axis) of a minimum filter whose kernel follows u_filter as in
// blur_h.frag (box, triangle or gaussian of u_size, peak 1, over u_radius pixels): each neighbour
// counts as mix(1, value, weight), so a zero weight never lowers the minimum. u_in inverts the
// input first and u_out the result, so the pair of passes with both set is a dilation (1 - min of
// 1 - x) and with neither an erosion. Values are meant for [0, 1].
layout(binding = 0) uniform sampler2D u_image;
uniform float u_size;
uniform float u_radius;
uniform float u_filter;
uniform float u_axis;
uniform float u_in;
uniform float u_out;
layout(location = 0) out vec4 o_color;

vec4 at(sampler2D s, ivec2 q) {
  return texelFetch(s, clamp(q, ivec2(0), textureSize(s, 0) - 1), 0);
}

float weight(float d) {
  if (u_filter == 0.0) return clamp(u_size * 0.5 + 0.5 - d, 0.0, 1.0);
  if (u_filter == 1.0) return max(0.0, 1.0 - d / u_size);
  float sigma = u_size * 0.5;
  return exp(-0.5 * d * d / (sigma * sigma));
}

vec4 value(ivec2 q) {
  vec4 v = at(u_image, q);
  return u_in != 0.0 ? 1.0 - v : v;
}

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  ivec2 axis = u_axis == 0.0 ? ivec2(1, 0) : ivec2(0, 1);
  int r = int(clamp(u_radius, 0.0, 4096.0));
  vec4 m = value(p);
  for (int d = 1; d <= r; ++d) {
    float w = weight(float(d));
    m = min(m, mix(vec4(1.0), value(p + d * axis), w));
    m = min(m, mix(vec4(1.0), value(p - d * axis), w));
  }
  o_color = u_out != 0.0 ? 1.0 - m : m;
}
