#version 450 core
// blur_uprez.frag — a reduced, blurred image (see blur_downrez.frag) brought back to the
// source's size: each output pixel, clamped into the box u_bbox, is interpolated bilinearly
// between the centres of the cells around it (u_factor pixels per cell, first column u_cell.x,
// rows counting down from u_cell.y).
layout(binding = 0) uniform sampler2D u_image;
uniform vec2 u_factor;
uniform vec4 u_bbox;
uniform vec2 u_cell;
layout(location = 0) out vec4 o_color;

vec4 at(sampler2D s, ivec2 q) {
  return texelFetch(s, clamp(q, ivec2(0), textureSize(s, 0) - 1), 0);
}

void main() {
  vec2 p = clamp(gl_FragCoord.xy, u_bbox.xy + 0.5, max(u_bbox.zw - 0.5, u_bbox.xy + 0.5));
  vec2 t = vec2(p.x / u_factor.x - u_cell.x, u_cell.y - p.y / u_factor.y) - 0.5;
  ivec2 i = ivec2(floor(t));
  vec2 f = t - vec2(i);
  vec4 bottom = mix(at(u_image, i), at(u_image, i + ivec2(1, 0)), f.x);
  vec4 top = mix(at(u_image, i + ivec2(0, 1)), at(u_image, i + ivec2(1, 1)), f.x);
  o_color = mix(bottom, top, f.y);
}
