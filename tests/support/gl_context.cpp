#include "support/gl_context.h"

#define EGL_NO_X11
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>

namespace qn_test {
namespace {

struct Egl {
  PFNEGLGETPLATFORMDISPLAYEXTPROC GetPlatformDisplayEXT = nullptr;
  PFNEGLINITIALIZEPROC Initialize = nullptr;
  PFNEGLBINDAPIPROC BindAPI = nullptr;
  PFNEGLCREATECONTEXTPROC CreateContext = nullptr;
  PFNEGLDESTROYCONTEXTPROC DestroyContext = nullptr;
  PFNEGLMAKECURRENTPROC MakeCurrent = nullptr;
  PFNEGLGETERRORPROC GetError = nullptr;
  EGLDisplay display = EGL_NO_DISPLAY;
  std::string unavailable;  // empty when `display` is usable
};

template <class F>
void resolve(PFNEGLGETPROCADDRESSPROC get, F& slot, const char* name) {
  slot = reinterpret_cast<F>(get(name));
}

Egl open_display() {
  Egl egl;
  void* lib = dlopen("libEGL.so.1", RTLD_NOW);
  auto get =
      lib ? reinterpret_cast<PFNEGLGETPROCADDRESSPROC>(dlsym(lib, "eglGetProcAddress")) : nullptr;
  if (!get) {
    egl.unavailable = "libEGL.so.1 cannot be opened or lacks eglGetProcAddress";
    return egl;
  }
  resolve(get, egl.GetPlatformDisplayEXT, "eglGetPlatformDisplayEXT");
  resolve(get, egl.Initialize, "eglInitialize");
  resolve(get, egl.BindAPI, "eglBindAPI");
  resolve(get, egl.CreateContext, "eglCreateContext");
  resolve(get, egl.DestroyContext, "eglDestroyContext");
  resolve(get, egl.MakeCurrent, "eglMakeCurrent");
  resolve(get, egl.GetError, "eglGetError");
  if (!egl.GetPlatformDisplayEXT || !egl.Initialize || !egl.BindAPI || !egl.CreateContext ||
      !egl.DestroyContext || !egl.MakeCurrent || !egl.GetError) {
    egl.unavailable = "EGL lacks eglGetPlatformDisplayEXT or a core function";
    return egl;
  }
  EGLDisplay display =
      egl.GetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  EGLint major = 0, minor = 0;
  if (display == EGL_NO_DISPLAY || !egl.Initialize(display, &major, &minor)) {
    egl.unavailable =
        "no surfaceless EGL display (EGL error " + std::to_string(egl.GetError()) + ")";
    return egl;
  }
  egl.display = display;
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
  if (!e.unavailable.empty()) {
    error_ = e.unavailable;
    return;
  }
  // The bound API is per thread: bind it wherever a context is made.
  if (!e.BindAPI(EGL_OPENGL_API)) {
    error_ = "eglBindAPI(EGL_OPENGL_API) failed";
    return;
  }
  const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                               4,
                               EGL_CONTEXT_MINOR_VERSION,
                               5,
                               EGL_CONTEXT_OPENGL_PROFILE_MASK,
                               EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                               EGL_NONE};
  context_ = e.CreateContext(e.display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
  if (context_ == EGL_NO_CONTEXT) {
    context_ = nullptr;
    error_ =
        "eglCreateContext for GL 4.5 core failed (EGL error " + std::to_string(e.GetError()) + ")";
  }
}

GlContext::~GlContext() {
  if (context_) egl().DestroyContext(egl().display, context_);
}

bool GlContext::make_current() const {
  return context_ &&
         egl().MakeCurrent(egl().display, EGL_NO_SURFACE, EGL_NO_SURFACE, context_) == EGL_TRUE;
}

bool GlContext::release_current() {
  const Egl& e = egl();
  return e.unavailable.empty() &&
         e.MakeCurrent(e.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT) == EGL_TRUE;
}

}  // namespace qn_test
