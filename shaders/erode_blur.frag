#version 450 core
// erode_blur.frag — soft erosion of a matte blurred by a triangle: every channel re-stretched by
// scale u_a and bias u_b and clamped to [0, 1], so the band around the eroded edge becomes the
// new ramp. With u_grow 1 the inverse is stretched and inverted back, which grows the matte.
layout(binding = 0) uniform sampler2D u_image;
uniform float u_a;
uniform float u_b;
uniform float u_grow;
layout(location = 0) out vec4 o_color;

void main() {
  vec4 v = texelFetch(u_image, ivec2(gl_FragCoord.xy), 0);
  o_color = u_grow != 0.0 ? 1.0 - clamp(u_a * (1.0 - v) + u_b, 0.0, 1.0)
                          : clamp(u_a * v + u_b, 0.0, 1.0);
}
