#version 450 core
// glow_prep.frag — what glows: each colour channel above u_tolerance, less the tolerance.
layout(binding = 0) uniform sampler2D u_image;
uniform float u_tolerance;
layout(location = 0) out vec4 o_color;

void main() {
  vec4 src = texelFetch(u_image, ivec2(gl_FragCoord.xy), 0);
  o_color = vec4(max(src.rgb - vec3(u_tolerance), vec3(0.0)), src.a);
}
