// tests/support/gl_api.h — the GL calls test code makes itself (the host helper's table,
// examples/host/host.h), and the probe pass built with them: a program showing every uniform
// size and two texture units, and a float target to read back. Call with a context current.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "host/host.h"

namespace qn_test {

// The host helper's GL table, program linking and full-screen triangle serve the tests too.
using qn_host::FULL_SCREEN_VERTEX_SHADER;
using qn_host::FullScreenTriangle;
using qn_host::gl;
using qn_host::GlApi;
using qn_host::link_program;

/// Writes what reached it to six outputs: 0: (u1, u2, 0)  1: (u3, 0)  2: u4
/// 3: (m3 * (1, 10, 100), 0)  4: m4 * (1, 10, 100, 1000)  5: (unit 3 .rg, unit 5 .rg), both
/// sampled at s = 1.25, past the right edge.
extern const char* const UNIFORM_PROBE_SHADER;

/// A framebuffer of `attachments` RGBA32F textures; fragment output i draws attachment i.
class FloatTarget {
 public:
  FloatTarget(int width, int height, int attachments);
  GLuint fbo() const { return fbo_; }
  void clear(std::array<float, 4> rgba) const;
  std::vector<float> read(int i) const;  // attachment i, RGBA
  /// Fills attachment i with (y × width + x) × 4 + c at pixel (x, y), channel c: every value
  /// distinct and exact in float up to 4M pixels.
  void fill_pattern(int i) const;

 private:
  int width_, height_;
  GLuint fbo_ = 0;
  std::vector<GLuint> textures_;
};

}  // namespace qn_test
