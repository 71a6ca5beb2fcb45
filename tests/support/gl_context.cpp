// The GL support of the gpu suites beyond the context (support/gl_api.h).
#include "support/gl_context.h"

#include "support/gl_api.h"

namespace qn_test {

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
