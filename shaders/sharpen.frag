#version 450 core
// sharpen.frag — unsharp mask: the source plus u_amount times its detail (source minus blur),
// the detail clamped per channel to [u_min, u_max]. Alpha is kept; a flat image is unchanged.
layout(binding = 0) uniform sampler2D u_image;
layout(binding = 1) uniform sampler2D u_blur;
uniform float u_amount;
uniform float u_min;
uniform float u_max;
layout(location = 0) out vec4 o_color;

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  vec4 src = texelFetch(u_image, p, 0);
  vec3 detail = clamp(src.rgb - texelFetch(u_blur, p, 0).rgb, vec3(u_min), vec3(u_max));
  o_color = vec4(src.rgb + u_amount * detail, src.a);
}
