#include "context.h"

#define EGL_NO_X11
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>

namespace qn_host {
namespace {

#define QN_HOST_EGL_FUNCTIONS(X) \
  X(GetPlatformDisplay)          \
  X(Initialize) X(BindAPI) X(CreateContext) X(DestroyContext) X(MakeCurrent) X(GetError)

struct Egl {
#define QN_HOST_EGL_MEMBER_(name) decltype(&egl##name) name = nullptr;
  QN_HOST_EGL_FUNCTIONS(QN_HOST_EGL_MEMBER_)
#undef QN_HOST_EGL_MEMBER_
};

// The EGL entry points, or an empty table when "libEGL.so.1" cannot be used.
const Egl& egl(std::string* missing) {
  static const std::pair<Egl, std::string> loaded = [] {
    Egl e;
    void* lib = dlopen("libEGL.so.1", RTLD_NOW);
    auto get = reinterpret_cast<decltype(&eglGetProcAddress)>(lib ? dlsym(lib, "eglGetProcAddress")
                                                                  : nullptr);
    if (!get) return std::pair{e, std::string("libEGL.so.1 / eglGetProcAddress not available")};
    std::string absent;
#define QN_HOST_EGL_RESOLVE_(name)                               \
  e.name = reinterpret_cast<decltype(e.name)>(get("egl" #name)); \
  if (!e.name) absent = "EGL lacks egl" #name;
    QN_HOST_EGL_FUNCTIONS(QN_HOST_EGL_RESOLVE_)
#undef QN_HOST_EGL_RESOLVE_
    return std::pair{e, absent};
  }();
  *missing = loaded.second;
  return loaded.first;
}

}  // namespace

bool HeadlessContext::open(std::string* err) {
  std::string missing;
  const Egl& e = egl(&missing);
  if (!missing.empty()) {
    *err = missing;
    return false;
  }
  EGLDisplay display = e.GetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, nullptr, nullptr);
  if (display == EGL_NO_DISPLAY || !e.Initialize(display, nullptr, nullptr)) {
    *err = "no surfaceless EGL display (EGL error " + std::to_string(e.GetError()) + ")";
    return false;
  }
  display_ = display;
  const EGLint core_4_5[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5, EGL_NONE};
  if (!e.BindAPI(EGL_OPENGL_API) ||
      !(context_ = e.CreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, core_4_5))) {
    *err = "no OpenGL 4.5 core context (EGL error " + std::to_string(e.GetError()) + ")";
    return false;
  }
  if (!e.MakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context_)) {
    *err =
        "cannot make the OpenGL context current (EGL error " + std::to_string(e.GetError()) + ")";
    return false;
  }
  return true;
}

HeadlessContext::~HeadlessContext() {
  std::string missing;
  const Egl& e = egl(&missing);
  if (!context_ || !missing.empty()) return;
  e.MakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  e.DestroyContext(display_, context_);
}

}  // namespace qn_host
