#version 450 core
// row_prefix.frag — running sums along each row that restart every u_tile pixels: output pixel
// x holds the sum of the source from the start of its tile up to x. Restarting keeps the float
// sums short; disc_blur.frag adds whole tiles back together.
layout(binding = 0) uniform sampler2D u_image;
uniform float u_tile;
layout(location = 0) out vec4 o_color;

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  int tile = max(1, int(u_tile));
  vec4 sum = vec4(0.0);
  for (int x = (p.x / tile) * tile; x <= p.x; ++x) sum += texelFetch(u_image, ivec2(x, p.y), 0);
  o_color = sum;
}
