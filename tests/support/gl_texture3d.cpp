#include "support/gl_texture3d.h"

#include <dlfcn.h>

#include "support/gl_api.h"

namespace qn_test {

namespace {

template <class F>
F resolve(const char* name) {
  using GetProc = void* (*)(const char*);
  static const auto get = [] {
    void* lib = dlopen("libEGL.so.1", RTLD_LAZY | RTLD_NOLOAD);
    return lib ? reinterpret_cast<GetProc>(dlsym(lib, "eglGetProcAddress")) : nullptr;
  }();
  return get ? reinterpret_cast<F>(get(name)) : nullptr;
}

}  // namespace

GLuint rgba_texture_3d(int edge, const float* rgba) {
  static const auto storage = resolve<decltype(&glTextureStorage3D)>("glTextureStorage3D");
  static const auto upload = resolve<decltype(&glTextureSubImage3D)>("glTextureSubImage3D");
  if (!storage || !upload) return 0;
  GLuint texture = 0;
  gl().CreateTextures(GL_TEXTURE_3D, 1, &texture);
  storage(texture, 1, GL_RGBA32F, edge, edge, edge);
  upload(texture, 0, 0, 0, 0, edge, edge, edge, GL_RGBA, GL_FLOAT, rgba);
  for (GLenum p : {GL_TEXTURE_MIN_FILTER, GL_TEXTURE_MAG_FILTER})
    gl().TextureParameteri(texture, p, GL_NEAREST);
  for (GLenum p : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R})
    gl().TextureParameteri(texture, p, GL_CLAMP_TO_EDGE);
  return texture;
}

}  // namespace qn_test
