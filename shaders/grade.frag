#version 450 core
// grade.frag — the reference host's grade node on premultiplied RGBA; alpha passes through.
// Per channel: black point and white point map to lift and gain, then multiply, offset and
// gamma (applied to positive values only); the result is mixed with the input by u_mix.
layout(binding = 0) uniform sampler2D u_image;
uniform vec3 u_black;
uniform vec3 u_white;
uniform vec3 u_lift;
uniform vec3 u_gain;
uniform vec3 u_multiply;
uniform vec3 u_offset;
uniform vec3 u_gamma;
uniform float u_mix;
layout(location = 0) out vec4 o_color;

void main() {
  vec4 c = texelFetch(u_image, ivec2(gl_FragCoord.xy), 0);
  vec3 a = u_multiply * (u_gain - u_lift) / (u_white - u_black);
  vec3 b = u_offset + u_lift - a * u_black;
  vec3 v = a * c.rgb + b;
  vec3 g = mix(v, pow(max(v, 0.0), 1.0 / u_gamma), step(0.0, v));
  o_color = vec4(mix(c.rgb, g, u_mix), c.a);
}
