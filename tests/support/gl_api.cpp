#include "support/gl_api.h"

#include <dlfcn.h>

namespace qn_test {
namespace {

using GetProcAddress = void (*(*)(const char*))();

GlApi resolve() {
  GlApi api;
  void* lib = dlopen("libEGL.so.1", RTLD_NOW);
  auto get = lib ? reinterpret_cast<GetProcAddress>(dlsym(lib, "eglGetProcAddress")) : nullptr;
  if (!get) {
    api.missing = "eglGetProcAddress";
    return api;
  }
#define QN_TEST_GL_RESOLVE_(name, type)               \
  api.name = reinterpret_cast<type>(get("gl" #name)); \
  if (!api.name && api.missing.empty()) api.missing = "gl" #name;
  QN_TEST_GL_FUNCTIONS(QN_TEST_GL_RESOLVE_)
#undef QN_TEST_GL_RESOLVE_
  return api;
}

GLuint compile(GLenum stage, const char* source, std::string* log) {
  GLuint shader = gl().CreateShader(stage);
  gl().ShaderSource(shader, 1, &source, nullptr);
  gl().CompileShader(shader);
  GLint ok = GL_FALSE;
  gl().GetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (ok) return shader;
  char text[2048] = {};
  gl().GetShaderInfoLog(shader, sizeof text, nullptr, text);
  if (log) *log = text;
  gl().DeleteShader(shader);
  return 0;
}

}  // namespace

const GlApi& gl() {
  static const GlApi api = resolve();
  return api;
}

const char* const FULL_SCREEN_VERTEX_SHADER = R"(#version 450 core
void main() {
  vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);  // (0,0) (2,0) (0,2)
  gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

const char* const UNIFORM_PROBE_SHADER = R"(#version 450 core
uniform float u1;
uniform vec2 u2;
uniform vec3 u3;
uniform vec4 u4;
uniform mat3 m3;
uniform mat4 m4;
layout(binding = 3) uniform sampler2D t3;
layout(binding = 5) uniform sampler2D t5;
layout(location = 0) out vec4 o0;
layout(location = 1) out vec4 o1;
layout(location = 2) out vec4 o2;
layout(location = 3) out vec4 o3;
layout(location = 4) out vec4 o4;
layout(location = 5) out vec4 o5;
void main() {
  o0 = vec4(u1, u2, 0.0);
  o1 = vec4(u3, 0.0);
  o2 = u4;
  o3 = vec4(m3 * vec3(1.0, 10.0, 100.0), 0.0);
  o4 = m4 * vec4(1.0, 10.0, 100.0, 1000.0);
  vec2 past_right_edge = vec2(1.25, 0.5);
  o5 = vec4(texture(t3, past_right_edge).rg, texture(t5, past_right_edge).rg);
}
)";

GLuint link_program(const char* vertex, const char* fragment, std::string* log) {
  GLuint vs = compile(GL_VERTEX_SHADER, vertex, log);
  GLuint fs = vs ? compile(GL_FRAGMENT_SHADER, fragment, log) : 0;
  if (!fs) {
    if (vs) gl().DeleteShader(vs);
    return 0;
  }
  GLuint program = gl().CreateProgram();
  gl().AttachShader(program, vs);
  gl().AttachShader(program, fs);
  gl().LinkProgram(program);
  gl().DeleteShader(vs);
  gl().DeleteShader(fs);
  GLint ok = GL_FALSE;
  gl().GetProgramiv(program, GL_LINK_STATUS, &ok);
  if (ok) return program;
  char text[2048] = {};
  gl().GetProgramInfoLog(program, sizeof text, nullptr, text);
  if (log) *log = text;
  gl().DeleteProgram(program);
  return 0;
}

FullScreenTriangle::FullScreenTriangle() {
  const GLuint indices[3] = {0, 1, 2};
  gl().CreateBuffers(1, &elements_);
  gl().NamedBufferData(elements_, sizeof indices, indices, GL_STATIC_DRAW);
  gl().CreateVertexArrays(1, &vao_);
  gl().VertexArrayElementBuffer(vao_, elements_);
}

FullScreenTriangle::~FullScreenTriangle() {
  gl().DeleteVertexArrays(1, &vao_);
  gl().DeleteBuffers(1, &elements_);
}

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

FloatTarget::~FloatTarget() {
  gl().DeleteFramebuffers(1, &fbo_);
  gl().DeleteTextures(static_cast<GLsizei>(textures_.size()), textures_.data());
}

bool FloatTarget::complete() const {
  return gl().CheckNamedFramebufferStatus(fbo_, GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
}

void FloatTarget::clear(std::array<float, 4> rgba) const {
  for (size_t i = 0; i < textures_.size(); ++i)
    gl().ClearNamedFramebufferfv(fbo_, GL_COLOR, static_cast<GLint>(i), rgba.data());
}

std::vector<float> FloatTarget::read(int i) const {
  std::vector<float> pixels(static_cast<size_t>(width_) * height_ * 4);
  GLint previous = 0;
  gl().GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &previous);
  gl().NamedFramebufferReadBuffer(fbo_, GL_COLOR_ATTACHMENT0 + i);
  gl().BindFramebuffer(GL_READ_FRAMEBUFFER, fbo_);
  gl().ReadPixels(0, 0, width_, height_, GL_RGBA, GL_FLOAT, pixels.data());
  gl().BindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(previous));
  return pixels;
}

std::array<float, 4> FloatTarget::pixel(int i, int x, int y) const {
  std::vector<float> all = read(i);
  size_t at = (static_cast<size_t>(y) * width_ + x) * 4;
  return {all[at], all[at + 1], all[at + 2], all[at + 3]};
}

GLuint two_texel_texture(std::array<float, 4> left, std::array<float, 4> right) {
  const float texels[8] = {left[0],  left[1],  left[2],  left[3],
                           right[0], right[1], right[2], right[3]};
  GLuint texture = 0;
  gl().CreateTextures(GL_TEXTURE_2D, 1, &texture);
  gl().TextureStorage2D(texture, 1, GL_RGBA32F, 2, 1);
  gl().TextureSubImage2D(texture, 0, 0, 0, 2, 1, GL_RGBA, GL_FLOAT, texels);
  gl().TextureParameteri(texture, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  gl().TextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  return texture;
}

GLuint clamping_sampler() {
  GLuint sampler = 0;
  gl().CreateSamplers(1, &sampler);
  gl().SamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  gl().SamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  gl().SamplerParameteri(sampler, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  gl().SamplerParameteri(sampler, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  return sampler;
}

}  // namespace qn_test
