#version 450 core
// glow_add.frag — the blurred glow, its saturation set by u_saturation (0 grey, 1 as is), tinted
// by u_tint and scaled by u_brightness, added to the source; with u_effect_only 1 the glow alone
// (alpha its largest channel).
layout(binding = 0) uniform sampler2D u_image;
layout(binding = 1) uniform sampler2D u_glow;
uniform vec3 u_tint;
uniform float u_brightness;
uniform float u_saturation;
uniform float u_effect_only;
layout(location = 0) out vec4 o_color;

const vec3 LUMA = vec3(0.2126, 0.7152, 0.0722);

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  vec4 src = texelFetch(u_image, p, 0);
  vec3 g = texelFetch(u_glow, p, 0).rgb;
  g = mix(vec3(dot(g, LUMA)), g, u_saturation) * u_tint * u_brightness;
  o_color = u_effect_only != 0.0 ? vec4(g, max(max(g.r, g.g), g.b)) : vec4(src.rgb + g, src.a);
}
