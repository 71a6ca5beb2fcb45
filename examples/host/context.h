// examples/host/context.h — a headless OpenGL 4.5 core context for a host that has no window:
// Mesa's surfaceless EGL platform (llvmpipe when no GPU is present), reached as the library
// reaches EGL, through "libEGL.so.1" and `eglGetProcAddress`.
#pragma once

#include <string>

namespace qn_host {

class HeadlessContext {
 public:
  HeadlessContext() = default;
  ~HeadlessContext();
  HeadlessContext(const HeadlessContext&) = delete;
  HeadlessContext& operator=(const HeadlessContext&) = delete;

  /// Creates the context and makes it current on the calling thread; false with the reason in
  /// `*err` when EGL, the surfaceless display or a 4.5 core context is not available.
  bool open(std::string* err);

 private:
  void* display_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace qn_host
