// tests/support/gl_texture3d.h — 3D textures for suites that sample volumes (colour LUTs).
// Call with a GL context current; the functions are resolved through eglGetProcAddress.
#pragma once

#define GL_GLEXT_PROTOTYPES  // declarations for decltype only: GL is never linked
#include <GL/glcorearb.h>

namespace qn_test {

/// An `edge`^3 RGBA32F texture from `rgba` (x fastest), nearest filtering, clamped at the
/// edges; 0 when the driver lacks the calls. It lives as long as the context.
GLuint rgba_texture_3d(int edge, const float* rgba);

}  // namespace qn_test
