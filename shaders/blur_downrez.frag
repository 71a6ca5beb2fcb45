#version 450 core
// blur_downrez.frag — the reduced image of a large blur. Output pixel (i, j) is the average of
// the source pixels of cell (u_cell.x + i, u_cell.y - 1 - j), a cell being u_factor pixels per
// axis, clipped to the box u_bbox = (x0, y0, x1, y1). Rows count down from the box's upper cell
// edge u_cell.y, which is why the upper corner travels in u_cell; blur_uprez.frag reads them
// back the same way.
layout(binding = 0) uniform sampler2D u_image;
uniform vec2 u_factor;
uniform vec4 u_bbox;
uniform vec2 u_cell;
layout(location = 0) out vec4 o_color;

vec4 at(sampler2D s, ivec2 q) {
  return texelFetch(s, clamp(q, ivec2(0), textureSize(s, 0) - 1), 0);
}

void main() {
  ivec2 q = ivec2(gl_FragCoord.xy);
  ivec2 f = max(ivec2(u_factor), ivec2(1));
  ivec2 cell = ivec2(int(u_cell.x) + q.x, int(u_cell.y) - 1 - q.y);
  ivec2 lo = max(cell * f, ivec2(u_bbox.xy));
  ivec2 hi = min(cell * f + f, ivec2(u_bbox.zw));
  if (any(lessThanEqual(hi, lo))) {
    lo = cell * f;
    hi = lo + f;
  }
  vec4 sum = vec4(0.0);
  for (int y = lo.y; y < hi.y; ++y)
    for (int x = lo.x; x < hi.x; ++x) sum += at(u_image, ivec2(x, y));
  o_color = sum / float((hi.x - lo.x) * (hi.y - lo.y));
}
