// tests/support/gl_context.h — headless OpenGL 4.5 core contexts on Mesa's llvmpipe, for the
// gpu suites and benchmarks.
//
// EGL is reached the way a host reaches it: `dlopen("libEGL.so.1")` (so a suite that mapped a
// stand-in under that soname gets the stand-in), `eglGetProcAddress` for everything else. One
// surfaceless display serves the whole process and is never terminated; each GlContext is a
// configless 4.5 core context without surfaces, made current with no draw or read surface.
#pragma once

#include <string>

namespace qn_test {

/// Why no EGL display can be made in this process, or empty when one can. Tried once.
const std::string& egl_unavailable();

class GlContext {
 public:
  /// Creates a context on the shared display; `error()` says what failed, if anything.
  GlContext();
  /// Destroys the context (EGL defers that while it is current on some thread).
  ~GlContext();
  GlContext(const GlContext&) = delete;
  GlContext& operator=(const GlContext&) = delete;

  const std::string& error() const { return error_; }
  void* handle() const { return context_; }

  /// Makes this context current on the calling thread.
  bool make_current() const;
  /// Leaves the calling thread with no current context.
  static bool release_current();

 private:
  void* context_ = nullptr;
  std::string error_;
};

}  // namespace qn_test
