#version 450 core
// transform.frag — the reference host's transform node. u_map takes an output pixel (y up, in
// pixel units of the output window) to the input pixel it shows; the input is sampled
// bilinearly between texel centres and is clear outside its window. A projective map divides
// by its third row.
layout(binding = 0) uniform sampler2D u_image;
uniform mat3 u_map;
layout(location = 0) out vec4 o_color;

vec4 texel(ivec2 q) {
  if (any(lessThan(q, ivec2(0))) || any(greaterThanEqual(q, textureSize(u_image, 0))))
    return vec4(0.0);
  return texelFetch(u_image, q, 0);
}

void main() {
  vec3 h = u_map * vec3(gl_FragCoord.xy, 1.0);
  vec2 s = h.xy / h.z - 0.5;
  ivec2 i = ivec2(floor(s));
  vec2 f = s - vec2(i);
  vec4 bottom = mix(texel(i), texel(i + ivec2(1, 0)), f.x);
  vec4 top = mix(texel(i + ivec2(0, 1)), texel(i + ivec2(1, 1)), f.x);
  o_color = mix(bottom, top, f.y);
}
