#version 450 core
// edgeblur.frag — the blurred image where the matte has edges. The edge strength is the matte
// channel u_matte_ch's central difference across x and y, times u_edge_mult, clamped to [0, 1];
// the blur, tinted by u_tint and scaled by u_brightness, is mixed over the source by it. With
// u_amount_only 1 the edge strength alone is written.
layout(binding = 0) uniform sampler2D u_image;
layout(binding = 1) uniform sampler2D u_blur;
layout(binding = 2) uniform sampler2D u_matte;
uniform float u_matte_ch;
uniform float u_edge_mult;
uniform vec3 u_tint;
uniform float u_brightness;
uniform float u_amount_only;
layout(location = 0) out vec4 o_color;

vec4 at(sampler2D s, ivec2 q) {
  return texelFetch(s, clamp(q, ivec2(0), textureSize(s, 0) - 1), 0);
}

float matte(ivec2 q) { return at(u_matte, q)[clamp(int(u_matte_ch), 0, 3)]; }

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  float gx = matte(p + ivec2(1, 0)) - matte(p - ivec2(1, 0));
  float gy = matte(p + ivec2(0, 1)) - matte(p - ivec2(0, 1));
  float edge = clamp(u_edge_mult * 0.5 * (abs(gx) + abs(gy)), 0.0, 1.0);
  vec4 blurred = texelFetch(u_blur, p, 0);
  blurred.rgb *= u_tint * u_brightness;
  o_color = u_amount_only != 0.0 ? vec4(edge) : mix(texelFetch(u_image, p, 0), blurred, edge);
}
