// examples/host/context.h — headless OpenGL 4.5 core contexts for a host without a window:
// Mesa's surfaceless EGL platform (llvmpipe when no GPU is present). Shared by the reference
// host, the tests and the benchmarks.
//
// EGL is reached as the library reaches it: `dlopen("libEGL.so.1")` (a process that mapped a
// stand-in under that soname gets the stand-in), then `eglGetProcAddress`. One surfaceless
// display serves the process and is never terminated; contexts are configless and made current
// without surfaces.
#pragma once

#include <string>

namespace qn_host {

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

}  // namespace qn_host
