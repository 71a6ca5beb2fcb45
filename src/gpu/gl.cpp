#include "quarn/gpu/gl.h"

#include "gpu/egl_bootstrap.h"

namespace qn::gpu::gl {

#define QN_GPU_GL_DEFINE_(name, ret, params, args) name##Proc name = nullptr;
QN_GPU_GL_ENTRY_POINTS(QN_GPU_GL_DEFINE_)
#undef QN_GPU_GL_DEFINE_

namespace {

bool g_loaded = false;
EglContext g_loaded_context = nullptr;

bool fail(std::string* err, const char* message) {
  if (err) *err = message;
  return false;
}

// Looks every row up again and stores the result, null or not. Returns the message of the
// last row that was missing, or null when all were found.
const char* resolve_table(const detail::EglBootstrap& egl) {
  const char* missing = nullptr;
#define QN_GPU_GL_RESOLVE_(name, ret, params, args)                      \
  name = reinterpret_cast<name##Proc>(egl.get_proc_address("gl" #name)); \
  if (!name) missing = "OpenGL entry point gl" #name " not available";
  QN_GPU_GL_ENTRY_POINTS(QN_GPU_GL_RESOLVE_)
#undef QN_GPU_GL_RESOLVE_
  return missing;
}

}  // namespace

bool load(std::string* err) {
  const detail::EglBootstrap* egl = detail::egl_bootstrap();
  if (!egl) return fail(err, "libEGL.so.1 / eglGetProcAddress not available");
  EglContext context = egl->get_current_context();
  if (!context) return fail(err, "no current EGL context on this thread");
  const char* missing = resolve_table(*egl);
  g_loaded = missing == nullptr;
  g_loaded_context = missing ? nullptr : context;
  return missing ? fail(err, missing) : true;
}

EglContext current_context() {
  const detail::EglBootstrap* egl = detail::egl_bootstrap();
  return egl ? egl->get_current_context() : nullptr;
}

EglContext loaded_context() { return g_loaded_context; }

bool loaded() { return g_loaded; }

}  // namespace qn::gpu::gl
