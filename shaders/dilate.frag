#version 450 core
// dilate.frag — one axis (u_axis 0: x, 1: y) of a square dilation (u_max 1: largest value) or
// erosion (u_max 0: smallest) by u_n whole pixels, blended by u_frac towards the result one
// pixel further. Edges are clamped.
layout(binding = 0) uniform sampler2D u_image;
uniform float u_n;
uniform float u_frac;
uniform float u_max;
uniform float u_axis;
layout(location = 0) out vec4 o_color;

vec4 at(sampler2D s, ivec2 q) {
  return texelFetch(s, clamp(q, ivec2(0), textureSize(s, 0) - 1), 0);
}

vec4 pick(vec4 a, vec4 b) { return u_max != 0.0 ? max(a, b) : min(a, b); }

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  ivec2 axis = u_axis == 0.0 ? ivec2(1, 0) : ivec2(0, 1);
  int n = int(clamp(u_n, 0.0, 4096.0));
  vec4 inner = at(u_image, p);
  for (int d = 1; d <= n; ++d) inner = pick(inner, pick(at(u_image, p + d * axis), at(u_image, p - d * axis)));
  vec4 outer = pick(inner, pick(at(u_image, p + (n + 1) * axis), at(u_image, p - (n + 1) * axis)));
  o_color = mix(inner, outer, u_frac);
}
