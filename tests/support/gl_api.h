// tests/support/gl_api.h — GL through examples/host: a probe shader, float targets, a call log.
#pragma once

#include <string_view>
#include <tuple>
#include <vector>

#include "host/context.h"
#include "host/host.h"
#include "quarn/gpu/gl.h"

namespace qn_test {

using namespace qn_host;  // contexts, the GL table, program linking, the full-screen triangle

inline const char* const UNIFORM_PROBE_SHADER = R"(#version 450 core
uniform float u1; uniform vec2 u2; uniform vec3 u3; uniform vec4 u4;
uniform mat3 m3; uniform mat4 m4;
layout(binding = 3) uniform sampler2D t3;
layout(binding = 5) uniform sampler2D t5;
layout(location = 0) out vec4 o[6];
void main() {
  o[0] = vec4(u1, u2, 0.0);
  o[1] = vec4(u3, 0.0);
  o[2] = u4;
  o[3] = vec4(m3 * vec3(1.0, 10.0, 100.0), 0.0);
  o[4] = m4 * vec4(1.0, 10.0, 100.0, 1000.0);
  o[5] = vec4(texture(t3, vec2(1.25, 0.5)).rg, texture(t5, vec2(1.25, 0.5)).rg);
}
)";

/// A framebuffer of `attachments` RGBA32F textures; fragment output i draws attachment i.
class FloatTarget {
 public:
  FloatTarget(int width, int height, int attachments)
      : width_(width), height_(height), textures_(static_cast<size_t>(attachments)) {
    gl().CreateFramebuffers(1, &fbo_);
    gl().CreateTextures(GL_TEXTURE_2D, attachments, textures_.data());
    std::vector<GLenum> buffers;
    for (int i = 0; i < attachments; ++i) {
      gl().TextureStorage2D(textures_[i], 1, GL_RGBA32F, width, height);
      gl().NamedFramebufferTexture(fbo_, GL_COLOR_ATTACHMENT0 + i, textures_[i], 0);
      buffers.push_back(GL_COLOR_ATTACHMENT0 + i);
    }
    gl().NamedFramebufferDrawBuffers(fbo_, attachments, buffers.data());
  }
  GLuint fbo() const { return fbo_; }
  GLuint texture(int i) const { return textures_[i]; }
  std::vector<float> read(int i) const {  // attachment i, RGBA
    std::vector<float> pixels(static_cast<size_t>(width_) * height_ * 4);
    gl().GetTextureImage(textures_[i], 0, GL_RGBA, GL_FLOAT,
                         static_cast<GLsizei>(pixels.size() * sizeof(float)), pixels.data());
    return pixels;
  }
  /// Fills attachment i with (y × width + x) × 4 + c at pixel (x, y), channel c.
  void fill_pattern(int i) const {
    std::vector<float> pixels(static_cast<size_t>(width_) * height_ * 4);
    for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<float>(k);
    gl().TextureSubImage2D(textures_[i], 0, 0, 0, width_, height_, GL_RGBA, GL_FLOAT,
                           pixels.data());
  }

 private:
  int width_, height_;
  GLuint fbo_ = 0;
  std::vector<GLuint> textures_;
};

/// What a log shows each call to, before forwarding it: override the entry points of interest.
struct GlHooks {
#define QN_TEST_HOOK_(name, ret, params, args) \
  virtual void name params { (void)std::forward_as_tuple args; }
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_HOOK_)
#undef QN_TEST_HOOK_
  virtual ~GlHooks() = default;
};

inline std::vector<std::string_view>* g_calls = nullptr;
inline GlHooks* g_hooks = nullptr;
#define QN_TEST_WRAP_(name, ret, params, args)             \
  inline qn::gpu::gl::name##Proc g_saved_##name = nullptr; \
  inline ret wrapped_##name params {                       \
    g_calls->push_back(#name);                             \
    if (g_hooks) g_hooks->name args;                       \
    return g_saved_##name args;                            \
  }
QN_GPU_GL_ENTRY_POINTS(QN_TEST_WRAP_)
#undef QN_TEST_WRAP_

/// While one lives, each call is recorded by name (no "gl"), shown to the hooks and forwarded.
struct GlCallLog {
  explicit GlCallLog(GlHooks* hooks = nullptr) {
    g_calls = &calls;
    g_hooks = hooks;
#define QN_TEST_INSTALL_(name, ret, params, args) \
  g_saved_##name = qn::gpu::gl::name;             \
  qn::gpu::gl::name = &wrapped_##name;
    QN_GPU_GL_ENTRY_POINTS(QN_TEST_INSTALL_)
#undef QN_TEST_INSTALL_
  }
  ~GlCallLog() {  // unless a load has put fresh pointers in place since
#define QN_TEST_RESTORE_(name, ret, params, args) \
  if (qn::gpu::gl::name == &wrapped_##name) qn::gpu::gl::name = g_saved_##name;
    QN_GPU_GL_ENTRY_POINTS(QN_TEST_RESTORE_)
#undef QN_TEST_RESTORE_
  }

  std::vector<std::string_view> calls;  // in order
};

}  // namespace qn_test
