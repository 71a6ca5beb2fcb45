// The GL support of the gpu suites: support/gl_context.h and support/gl_api.h.
#include "support/gl_context.h"

#include "support/gl_api.h"

#define EGL_NO_X11
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>

namespace qn_test {
namespace {

#define QN_TEST_EGL_FUNCTIONS(X) \
  X(GetPlatformDisplay)          \
  X(Initialize) X(BindAPI) X(CreateContext) X(DestroyContext) X(MakeCurrent) X(GetError)

struct Egl {
  decltype(&eglGetProcAddress) GetProcAddress = nullptr;
#define QN_TEST_EGL_MEMBER_(name) decltype(&egl##name) name = nullptr;
  QN_TEST_EGL_FUNCTIONS(QN_TEST_EGL_MEMBER_)
  EGLDisplay display = EGL_NO_DISPLAY;
  std::string unavailable;  // empty when `display` is usable
};

Egl open_display() {
  Egl egl;
  void* lib = dlopen("libEGL.so.1", RTLD_NOW);
  auto get = egl.GetProcAddress = reinterpret_cast<decltype(&eglGetProcAddress)>(
      lib ? dlsym(lib, "eglGetProcAddress") : nullptr);
  if (!get) {
    egl.unavailable = "libEGL.so.1 cannot be opened or lacks eglGetProcAddress";
    return egl;
  }
#define QN_TEST_EGL_RESOLVE_(name)                                   \
  egl.name = reinterpret_cast<decltype(egl.name)>(get("egl" #name)); \
  if (!egl.name) egl.unavailable = "EGL lacks egl" #name;
  QN_TEST_EGL_FUNCTIONS(QN_TEST_EGL_RESOLVE_)
  if (!egl.unavailable.empty()) return egl;
  egl.display = egl.GetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, nullptr, nullptr);
  if (egl.display == EGL_NO_DISPLAY || !egl.Initialize(egl.display, nullptr, nullptr))
    egl.unavailable =
        "no surfaceless EGL display (EGL error " + std::to_string(egl.GetError()) + ")";
  return egl;
}

const Egl& egl() {
  static const Egl instance = open_display();
  return instance;
}

}  // namespace

const std::string& egl_unavailable() { return egl().unavailable; }

GlContext::GlContext() {
  const Egl& e = egl();
  const EGLint core_4_5[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5, EGL_NONE};
  if (!e.unavailable.empty()) {
    error_ = e.unavailable;
  } else if (!e.BindAPI(EGL_OPENGL_API)) {  // per thread: bound wherever a context is made
    error_ = "eglBindAPI(EGL_OPENGL_API) failed";
  } else {
    context_ = e.CreateContext(e.display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, core_4_5);
    if (!context_)
      error_ = "no GL 4.5 core context (EGL error " + std::to_string(e.GetError()) + ")";
  }
}

GlContext::~GlContext() {
  if (context_) egl().DestroyContext(egl().display, context_);
}

bool GlContext::make_current() const {
  return context_ && egl().MakeCurrent(egl().display, EGL_NO_SURFACE, EGL_NO_SURFACE, context_);
}

bool GlContext::release_current() {
  return egl().unavailable.empty() &&
         egl().MakeCurrent(egl().display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

const char* const UNIFORM_PROBE_SHADER = R"(#version 450 core
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

FloatTarget::FloatTarget(int width, int height, int attachments)
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

void FloatTarget::clear(std::array<float, 4> rgba) const {
  for (size_t i = 0; i < textures_.size(); ++i)
    gl().ClearNamedFramebufferfv(fbo_, GL_COLOR, static_cast<GLint>(i), rgba.data());
}

std::vector<float> FloatTarget::read(int i) const {
  std::vector<float> pixels(static_cast<size_t>(width_) * height_ * 4);
  gl().GetTextureImage(textures_[i], 0, GL_RGBA, GL_FLOAT,
                       static_cast<GLsizei>(pixels.size() * sizeof(float)), pixels.data());
  return pixels;
}

void FloatTarget::fill_pattern(int i) const {
  std::vector<float> pixels(static_cast<size_t>(width_) * height_ * 4);
  for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<float>(k);
  gl().TextureSubImage2D(textures_[i], 0, 0, 0, width_, height_, GL_RGBA, GL_FLOAT, pixels.data());
}

}  // namespace qn_test
