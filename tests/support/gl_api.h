// tests/support/gl_api.h — the GL calls test code makes itself (building programs, textures,
// samplers, framebuffers, reading pixels back), and small builders on top of them.
//
// Resolved through eglGetProcAddress the first time `gl()` is called; call it only with a
// context current. Everything here runs on the calling thread's current context.
#pragma once

#include <GL/glcorearb.h>

#include <array>
#include <string>
#include <vector>

namespace qn_test {

#define QN_TEST_GL_FUNCTIONS(X)                                        \
  X(CreateShader, PFNGLCREATESHADERPROC)                               \
  X(ShaderSource, PFNGLSHADERSOURCEPROC)                               \
  X(CompileShader, PFNGLCOMPILESHADERPROC)                             \
  X(GetShaderiv, PFNGLGETSHADERIVPROC)                                 \
  X(GetShaderInfoLog, PFNGLGETSHADERINFOLOGPROC)                       \
  X(DeleteShader, PFNGLDELETESHADERPROC)                               \
  X(CreateProgram, PFNGLCREATEPROGRAMPROC)                             \
  X(AttachShader, PFNGLATTACHSHADERPROC)                               \
  X(LinkProgram, PFNGLLINKPROGRAMPROC)                                 \
  X(GetProgramiv, PFNGLGETPROGRAMIVPROC)                               \
  X(GetProgramInfoLog, PFNGLGETPROGRAMINFOLOGPROC)                     \
  X(DeleteProgram, PFNGLDELETEPROGRAMPROC)                             \
  X(GetUniformLocation, PFNGLGETUNIFORMLOCATIONPROC)                   \
  X(GetUniformfv, PFNGLGETUNIFORMFVPROC)                               \
  X(CreateVertexArrays, PFNGLCREATEVERTEXARRAYSPROC)                   \
  X(DeleteVertexArrays, PFNGLDELETEVERTEXARRAYSPROC)                   \
  X(CreateBuffers, PFNGLCREATEBUFFERSPROC)                             \
  X(DeleteBuffers, PFNGLDELETEBUFFERSPROC)                             \
  X(NamedBufferData, PFNGLNAMEDBUFFERDATAPROC)                         \
  X(VertexArrayElementBuffer, PFNGLVERTEXARRAYELEMENTBUFFERPROC)       \
  X(CreateTextures, PFNGLCREATETEXTURESPROC)                           \
  X(DeleteTextures, PFNGLDELETETEXTURESPROC)                           \
  X(TextureStorage2D, PFNGLTEXTURESTORAGE2DPROC)                       \
  X(TextureSubImage2D, PFNGLTEXTURESUBIMAGE2DPROC)                     \
  X(TextureParameteri, PFNGLTEXTUREPARAMETERIPROC)                     \
  X(CreateSamplers, PFNGLCREATESAMPLERSPROC)                           \
  X(DeleteSamplers, PFNGLDELETESAMPLERSPROC)                           \
  X(SamplerParameteri, PFNGLSAMPLERPARAMETERIPROC)                     \
  X(CreateFramebuffers, PFNGLCREATEFRAMEBUFFERSPROC)                   \
  X(DeleteFramebuffers, PFNGLDELETEFRAMEBUFFERSPROC)                   \
  X(NamedFramebufferTexture, PFNGLNAMEDFRAMEBUFFERTEXTUREPROC)         \
  X(NamedFramebufferDrawBuffers, PFNGLNAMEDFRAMEBUFFERDRAWBUFFERSPROC) \
  X(NamedFramebufferReadBuffer, PFNGLNAMEDFRAMEBUFFERREADBUFFERPROC)   \
  X(CheckNamedFramebufferStatus, PFNGLCHECKNAMEDFRAMEBUFFERSTATUSPROC) \
  X(ClearNamedFramebufferfv, PFNGLCLEARNAMEDFRAMEBUFFERFVPROC)         \
  X(BindFramebuffer, PFNGLBINDFRAMEBUFFERPROC)                         \
  X(ReadPixels, PFNGLREADPIXELSPROC)                                   \
  X(GetIntegerv, PFNGLGETINTEGERVPROC)                                 \
  X(GetString, PFNGLGETSTRINGPROC)                                     \
  X(Finish, PFNGLFINISHPROC)

struct GlApi {
#define QN_TEST_GL_MEMBER_(name, type) type name = nullptr;
  QN_TEST_GL_FUNCTIONS(QN_TEST_GL_MEMBER_)
#undef QN_TEST_GL_MEMBER_
  std::string missing;  // the first function not found, or empty
};

/// The test's own GL functions (resolved once).
const GlApi& gl();

/// Compiles and links a program from GLSL sources; 0 with the info log in `*log` on failure.
GLuint link_program(const char* vertex, const char* fragment, std::string* log);

/// A vertex shader that covers the whole target with one triangle of indices 0, 1, 2 (it needs
/// no vertex attributes, only the element buffer of `FullScreenTriangle`).
extern const char* const FULL_SCREEN_VERTEX_SHADER;

/// A fragment shader that shows what reached it: uniforms u1 (float), u2 (vec2), u3 (vec3),
/// u4 (vec4), m3 (mat3), m4 (mat4) and samplers on units 3 and 5, written to six outputs:
///   0: (u1, u2, 0)   1: (u3, 0)   2: u4   3: (m3 * (1, 10, 100), 0)   4: m4 * (1, 10, 100, 1000)
///   5: (unit 3 .rg, unit 5 .rg), each sampled at s = 1.25 (see `two_texel_texture`)
extern const char* const UNIFORM_PROBE_SHADER;

/// A vertex array whose element buffer holds the indices 0, 1, 2.
class FullScreenTriangle {
 public:
  FullScreenTriangle();
  ~FullScreenTriangle();
  GLuint vao() const { return vao_; }

 private:
  GLuint vao_ = 0, elements_ = 0;
};

/// A framebuffer with `attachments` RGBA32F colour textures of `width` x `height`, each one
/// drawn by fragment output location i.
class FloatTarget {
 public:
  FloatTarget(int width, int height, int attachments);
  ~FloatTarget();
  GLuint fbo() const { return fbo_; }
  bool complete() const;
  /// Clears every attachment to `rgba`.
  void clear(std::array<float, 4> rgba) const;
  /// Pixels of attachment `i`, RGBA, rows bottom to top as GL returns them.
  std::vector<float> read(int i) const;
  /// Pixel (x, y) of attachment `i`.
  std::array<float, 4> pixel(int i, int x, int y) const;

 private:
  int width_, height_;
  GLuint fbo_ = 0;
  std::vector<GLuint> textures_;
};

/// A 2x1 RGBA32F texture, `left` then `right`, nearest filtering, wrapping by repeat: sampled
/// at s = 1.25 it gives `left`, unless a sampler that clamps to the edge gives `right`.
GLuint two_texel_texture(std::array<float, 4> left, std::array<float, 4> right);

/// A sampler object that clamps to the edge, with nearest filtering.
GLuint clamping_sampler();

}  // namespace qn_test
