#version 450 core
// blur_h.frag — one horizontal step of the separable blur. Each output pixel is the normalised
// weighted sum of the source pixels within u_radius along the axis (edges clamped). The kernel
// follows u_filter: 0 a box u_size wide (partial weight on its outermost pixels), 1 a triangle
// reaching zero at u_size, anything else a gaussian with sigma u_size / 2.
layout(binding = 0) uniform sampler2D u_image;
uniform float u_size;
uniform float u_radius;
uniform float u_filter;
layout(location = 0) out vec4 o_color;

const ivec2 AXIS = ivec2(1, 0);

vec4 at(sampler2D s, ivec2 q) {
  return texelFetch(s, clamp(q, ivec2(0), textureSize(s, 0) - 1), 0);
}

float weight(float d) {
  if (u_filter == 0.0) return clamp(u_size * 0.5 + 0.5 - d, 0.0, 1.0);
  if (u_filter == 1.0) return max(0.0, 1.0 - d / u_size);
  float sigma = u_size * 0.5;
  return exp(-0.5 * d * d / (sigma * sigma));
}

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  int r = int(clamp(u_radius, 0.0, 4096.0));
  vec4 sum = vec4(0.0);
  float total = 0.0;
  for (int d = -r; d <= r; ++d) {
    float w = weight(abs(float(d)));
    sum += w * at(u_image, p + d * AXIS);
    total += w;
  }
  o_color = total > 0.0 ? sum / total : at(u_image, p);
}
