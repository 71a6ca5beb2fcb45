// examples/host/host.h — what a host does before the library can draw its filters: compile the
// shaders, declare each program's uniforms to the GPU layer, and register the program with its
// vertex array and sampler units under the fragment shader's name. Shared by the tests, the
// benchmarks and the reference host; not part of the library.
//
// GL is reached as the library reaches it: "libEGL.so.1" through the dynamic loader, then
// `eglGetProcAddress`. Every call needs a current GL 4.5 context; `gl()` resolves its table the
// first time it is called. Failures return 0 or false with GL's log in `*log` when given.
#pragma once

#define GL_GLEXT_PROTOTYPES  // declarations for decltype only: GL is never linked
#include <GL/glcorearb.h>

#include <string>
#include <vector>

namespace qn_host {

// clang-format off
#define QN_HOST_GL_FUNCTIONS(X)                                                                \
  X(CreateShader) X(ShaderSource) X(CompileShader) X(GetShaderiv) X(GetShaderInfoLog)         \
  X(AttachShader) X(DeleteShader) X(CreateProgram) X(LinkProgram) X(GetProgramiv)              \
  X(GetProgramInfoLog) X(GetActiveUniform) X(GetUniformLocation) X(GetUniformiv)               \
  X(CreateBuffers) X(NamedBufferData) X(CreateVertexArrays) X(VertexArrayElementBuffer)        \
  X(CreateTextures) X(TextureStorage2D) X(TextureSubImage2D) X(TextureParameteri)              \
  X(GetTextureImage) X(CreateSamplers) X(SamplerParameteri) X(CreateFramebuffers)              \
  X(NamedFramebufferTexture) X(NamedFramebufferDrawBuffers) X(ClearNamedFramebufferfv)         \
  X(GetIntegerv) X(Finish) X(DeleteTextures) X(DeleteFramebuffers) X(BindFramebuffer)        \
  X(ReadPixels)
// clang-format on

struct GlApi {
#define QN_HOST_GL_MEMBER_(name) decltype(&gl##name) name = nullptr;
  QN_HOST_GL_FUNCTIONS(QN_HOST_GL_MEMBER_)
#undef QN_HOST_GL_MEMBER_
};
const GlApi& gl();

/// Covers the target with one triangle of indices 0, 1, 2 (mode GL_TRIANGLES, count 3).
extern const char* const FULL_SCREEN_VERTEX_SHADER;

/// Compiles and links a program; 0 with the compile or link log in `*log` on failure.
GLuint link_program(const char* vertex, const char* fragment, std::string* log);

/// A vertex array whose element buffer holds the indices 0, 1, 2. Its GL objects live as long
/// as the context.
class FullScreenTriangle {
 public:
  FullScreenTriangle();
  GLuint vao() const { return vao_; }

 private:
  GLuint vao_ = 0;
};

/// Declares every active float, vecN, mat3 and mat4 uniform of `program` to the GPU layer
/// (`qn::gpu::program_add`; other types get `UNIFORM_OTHER`, never set) and returns the sampler
/// uniforms with the texture unit each is bound to.
std::vector<std::pair<std::string, int>> declare_uniforms(GLuint program);

/// Links `fragment` with the full-screen vertex shader, declares its uniforms and registers it
/// for the filters under `name` (`qn::nodes::filter::program_set`) with `vao`. The program.
GLuint register_filter(const std::string& name, const std::string& fragment, GLuint vao,
                       std::string* log);

/// Reads `dir`/`name` and registers it as `register_filter` does; 0 if it cannot be read.
GLuint register_filter_file(const std::string& dir, const std::string& name, GLuint vao,
                            std::string* log);

/// Addresses of the linear-algebra routines `qn::xform::set_blas` takes.
struct BlasAddresses {
  unsigned long gesv, gemm, gemv, dot;
};

/// dgesv_, cblas_dgemm, cblas_dgemv and cblas_ddot of Debian's ILP64 OpenBLAS
/// ("libopenblas64.so.0"), resolved once (the library stays loaded); false with the reason in
/// `*err` when it cannot be loaded or lacks one of them.
bool openblas64(BlasAddresses* out, std::string* err);

/// The text of a file; false if it cannot be read.
bool read_text(const std::string& path, std::string* text);

}  // namespace qn_host
