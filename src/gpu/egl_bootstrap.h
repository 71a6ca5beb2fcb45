// gpu/egl_bootstrap.h — how the library reaches EGL without linking it (internal).
//
// Everything GL-related in the library starts here: the process's "libEGL.so.1" is found with
// the dynamic loader, and its two bootstrap functions are looked up once:
//
//   dlopen("libEGL.so.1", RTLD_NOW | RTLD_NOLOAD)   the host's instance, if it is mapped
//     └─ null → dlopen("libEGL.so.1", RTLD_NOW)     otherwise the system's
//   dlsym "eglGetProcAddress", "eglGetCurrentContext"
//
// A bootstrap that fails (no library, or either function missing) is tried again by the next
// call; once both functions are found they stay in use for the life of the process. Handles
// are never closed. GL entry points are then resolved with `eglGetProcAddress` by whoever owns
// them: the exported table of quarn/gpu/gl.h now, and the private tables of other GPU code
// later, which look up further EGL functions with `dlsym` on `egl_library()`.
//
// Threads: safe from any thread. The first lookup is serialised by a mutex; afterwards
// `egl_bootstrap` is one acquire load.
#pragma once

namespace qn::gpu::detail {

// Generic function-pointer type of `eglGetProcAddress` results; cast to the real signature.
using EglProc = void (*)();

struct EglBootstrap {
  EglProc (*get_proc_address)(const char* name);
  void* (*get_current_context)();
};

/// The two bootstrap functions, or null when the bootstrap fails (retried on the next call).
const EglBootstrap* egl_bootstrap();

/// The EGL library: the instance already mapped into the process, else (if `may_load`) a
/// freshly opened one; null if neither. Never closed.
void* egl_library(bool may_load);

/// `dlsym` of `name` in the EGL library the bootstrap found (opening it if need be), looked up
/// afresh at every call; null when the library or the name is missing. For EGL functions that
/// `eglGetProcAddress` need not give, such as "eglGetCurrentDisplay".
EglProc egl_library_symbol(const char* name);

}  // namespace qn::gpu::detail
