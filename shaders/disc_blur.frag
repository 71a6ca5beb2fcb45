#version 450 core
// disc_blur.frag — the mean of the source over an ellipse of radii u_radius around each pixel:
// the pixels (dx, dy) with (dx / rx)^2 + (dy / ry)^2 <= 1, cut (not clamped) at the image edges.
// Each row of the ellipse is one span; its sum comes from the row prefix image u_prefix (tiles
// of u_tile pixels, see row_prefix.frag), or with u_direct 1 by adding the pixels of u_prefix,
// then the source itself, one by one.
layout(binding = 0) uniform sampler2D u_image;
layout(binding = 1) uniform sampler2D u_prefix;
uniform vec2 u_radius;
uniform float u_tile;
uniform float u_direct;
layout(location = 0) out vec4 o_color;

vec4 prefix(int x, int y) { return texelFetch(u_prefix, ivec2(x, y), 0); }

vec4 span(int a, int b, int y, int tile) {
  vec4 sum = vec4(0.0);
  if (u_direct != 0.0) {
    for (int x = a; x <= b; ++x) sum += prefix(x, y);
    return sum;
  }
  for (int x = a; x <= b;) {
    int e = min(b, (x / tile + 1) * tile - 1);
    sum += prefix(e, y) - (x % tile == 0 ? vec4(0.0) : prefix(x - 1, y));
    x = e + 1;
  }
  return sum;
}

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  ivec2 size = textureSize(u_image, 0);
  int tile = max(1, int(u_tile));
  vec2 r = clamp(u_radius, vec2(0.0), vec2(4096.0));
  int ry = int(r.y);
  vec4 sum = vec4(0.0);
  float count = 0.0;
  for (int dy = -ry; dy <= ry; ++dy) {
    int y = p.y + dy;
    if (y < 0 || y >= size.y) continue;
    float q = r.y > 0.0 ? float(dy) / r.y : 0.0;
    int hx = int(floor(r.x * sqrt(max(0.0, 1.0 - q * q)) + 1e-3));
    int a = max(0, p.x - hx), b = min(size.x - 1, p.x + hx);
    if (b < a) continue;
    sum += span(a, b, y, tile);
    count += float(b - a + 1);
  }
  o_color = count > 0.0 ? sum / count : texelFetch(u_image, p, 0);
}
