// tests/support/gl_api.h — the GL calls test code makes itself, and the probe pass built with
// them: a program showing every uniform size and two texture units, a full-screen triangle and
// a float target to read back. `gl()` resolves its functions the first time, through
// eglGetProcAddress; call it with a context current.
#pragma once

#define GL_GLEXT_PROTOTYPES  // declarations for decltype only: GL is never linked
#include <GL/glcorearb.h>

#include <array>
#include <string>
#include <vector>

namespace qn_test {

// clang-format off
#define QN_TEST_GL_FUNCTIONS(X)                                                              \
  X(CreateShader) X(ShaderSource) X(CompileShader) X(AttachShader) X(CreateProgram)         \
  X(LinkProgram) X(GetProgramiv) X(GetProgramInfoLog) X(GetUniformLocation) X(CreateBuffers) \
  X(NamedBufferData) X(CreateVertexArrays) X(VertexArrayElementBuffer) X(CreateTextures)     \
  X(TextureStorage2D) X(TextureSubImage2D) X(TextureParameteri) X(GetTextureImage)           \
  X(CreateSamplers) X(SamplerParameteri) X(CreateFramebuffers) X(NamedFramebufferTexture)    \
  X(NamedFramebufferDrawBuffers) X(ClearNamedFramebufferfv) X(GetIntegerv) X(Finish)         \
  X(BindFramebuffer) X(ReadPixels)
// clang-format on

struct GlApi {
#define QN_TEST_GL_MEMBER_(name) decltype(&gl##name) name = nullptr;
  QN_TEST_GL_FUNCTIONS(QN_TEST_GL_MEMBER_)
#undef QN_TEST_GL_MEMBER_
};
const GlApi& gl();

/// Compiles and links a program; 0 with GL's link log in `*log` on failure.
GLuint link_program(const char* vertex, const char* fragment, std::string* log);

/// Covers the target with one triangle of indices 0, 1, 2 (see `FullScreenTriangle`).
extern const char* const FULL_SCREEN_VERTEX_SHADER;

/// Writes what reached it to six outputs: 0: (u1, u2, 0)  1: (u3, 0)  2: u4
/// 3: (m3 * (1, 10, 100), 0)  4: m4 * (1, 10, 100, 1000)  5: (unit 3 .rg, unit 5 .rg), both
/// sampled at s = 1.25, past the right edge.
extern const char* const UNIFORM_PROBE_SHADER;

/// A vertex array whose element buffer holds the indices 0, 1, 2. Its GL objects live as long
/// as the context.
class FullScreenTriangle {
 public:
  FullScreenTriangle();
  GLuint vao() const { return vao_; }

 private:
  GLuint vao_ = 0;
};

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
