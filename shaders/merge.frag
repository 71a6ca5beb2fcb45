#version 450 core
// merge.frag — the reference host's merge node: A (unit 0) onto B (unit 1), premultiplied RGBA.
// u_op is the operation's index in the library's merge table (qn::nodes::merge::OPERATIONS);
// every channel, alpha included, goes through the operation. With u_alpha_masking set, alpha
// becomes a + b - a b instead. The result is mixed with B by u_mix, and channels whose u_mask
// component is 0 keep B.
layout(binding = 0) uniform sampler2D u_a;
layout(binding = 1) uniform sampler2D u_b;
uniform float u_op;
uniform float u_alpha_masking;
uniform float u_mix;
uniform vec4 u_mask;
layout(location = 0) out vec4 o_color;

vec4 safe_div(vec4 n, vec4 d, vec4 fallback) {
  return mix(fallback, n / d, notEqual(d, vec4(0.0)));
}

vec4 merge(int op, vec4 A, vec4 B) {
  float a = A.a, b = B.a;
  vec4 one = vec4(1.0);
  switch (op) {
    case 0: return A * b + B * (1.0 - a);                                     // atop
    case 1: return (A + B) * 0.5;                                             // average
    case 2: return mix(one - safe_div(one - B, A, one), vec4(0.0), lessThanEqual(A, vec4(0.0)));
    case 3: return mix(safe_div(B, one - A, one), one, greaterThanEqual(A, one));  // color-dodge
    case 4: return a > b ? A : A + B * (1.0 - (b > 0.0 ? a / b : 0.0));      // conjoint-over
    case 5: return A;                                                         // copy
    case 6: return abs(A - B);                                                // difference
    case 7: return a + b < 1.0 ? A + B : A + B * (b > 0.0 ? (1.0 - a) / b : 0.0);  // disjoint-over
    case 8: return safe_div(A, B, vec4(0.0));                                 // divide
    case 9: return A + B - 2.0 * A * B;                                       // exclusion
    case 10: return B - A;                                                    // from
    case 11: return safe_div(2.0 * A * B, A + B, vec4(0.0));                  // geometric
    case 12: return mix(one - 2.0 * (one - A) * (one - B), 2.0 * A * B, lessThan(A, vec4(0.5)));
    case 13: return sqrt(A * A + B * B);                                      // hypot
    case 14: return A * b;                                                    // in
    case 15: return B * a;                                                    // mask
    case 16: return A * a + B * (1.0 - a);                                    // matte
    case 17: return max(A, B);                                                // max
    case 18: return min(A, B);                                                // min
    case 19: return A - B;                                                    // minus
    case 20: return A * B;                                                    // multiply
    case 21: return A * (1.0 - b);                                            // out
    case 23: return mix(one - 2.0 * (one - A) * (one - B), 2.0 * A * B, lessThan(B, vec4(0.5)));
    case 24: return A + B;                                                    // plus
    case 25: return A + B - A * B;                                            // screen
    case 26: return (one - 2.0 * A) * B * B + 2.0 * A * B;                    // soft-light
    case 27: return B * (1.0 - a);                                            // stencil
    case 28: return A * (1.0 - b) + B;                                        // under
    case 29: return A * (1.0 - b) + B * (1.0 - a);                            // xor
    default: return A + B * (1.0 - a);                                        // 22 over
  }
}

void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  vec4 A = texelFetch(u_a, p, 0);
  vec4 B = texelFetch(u_b, p, 0);
  vec4 m = merge(int(u_op + 0.5), A, B);
  if (u_alpha_masking != 0.0) m.a = A.a + B.a - A.a * B.a;
  vec4 o = mix(B, m, u_mix);
  o_color = mix(B, o, notEqual(u_mask, vec4(0.0)));
}
