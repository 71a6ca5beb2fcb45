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
  decltype(&eglGetProcAddress) GetProcAddress = nullptr;
#define QN_HOST_EGL_MEMBER_(name) decltype(&egl##name) name = nullptr;
  QN_HOST_EGL_FUNCTIONS(QN_HOST_EGL_MEMBER_)
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
#define QN_HOST_EGL_RESOLVE_(name)                                   \
  egl.name = reinterpret_cast<decltype(egl.name)>(get("egl" #name)); \
  if (!egl.name) egl.unavailable = "EGL lacks egl" #name;
  QN_HOST_EGL_FUNCTIONS(QN_HOST_EGL_RESOLVE_)
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

}  // namespace qn_host
