// tests/support/gl_context.h — headless OpenGL 4.5 core contexts on Mesa's llvmpipe, for the
// gpu suites and benchmarks.
//
// EGL is reached as a host reaches it: `dlopen("libEGL.so.1")` (a suite that mapped a stand-in
// under that soname gets the stand-in), then `eglGetProcAddress`. One surfaceless display
// serves the process and is never terminated; contexts are configless and made current
// without surfaces.
#pragma once

#include <string>

namespace qn_test {

/// Why no EGL display can be made in this process, or empty when one can. Tried once.
const std::string& egl_unavailable();

class GlContext {
 public:
  GlContext();  // `error()` says what failed, if anything
  ~GlContext();
  GlContext(const GlContext&) = delete;
  GlContext& operator=(const GlContext&) = delete;

  const std::string& error() const { return error_; }
  void* handle() const { return context_; }
  bool make_current() const;
  static bool release_current();  // leaves the calling thread with no current context

 private:
  void* context_ = nullptr;
  std::string error_;
};

}  // namespace qn_test
