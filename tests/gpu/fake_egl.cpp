// A stand-in for libEGL.so.1 (it carries that soname) that forwards to the system's EGL but
// hides the names listed, comma-separated, in the environment variable QUARN_FAKE_EGL_HIDE,
// read afresh at every lookup:
//   - `eglGetProcAddress` returns null for a hidden name;
//   - `eglGetProcAddress` and `eglGetCurrentContext` themselves are indirect functions, so a
//     dlsym of either while it is hidden finds null, as in an EGL that lacks it.
// Everything else a caller needs (eglInitialize, eglCreateContext, ...) it gets through
// `eglGetProcAddress`, which forwards.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace {

using Proc = void (*)();
using GetProcAddress = Proc (*)(const char*);
using GetCurrentContext = void* (*)();

void* real_egl() {
  static void* handle = dlopen("/usr/lib/x86_64-linux-gnu/libEGL.so.1", RTLD_NOW | RTLD_LOCAL);
  return handle;
}

template <class F>
F real(const char* name) {
  void* handle = real_egl();
  return handle ? reinterpret_cast<F>(dlsym(handle, name)) : nullptr;
}

bool hidden(const char* name) {
  const char* list = std::getenv("QUARN_FAKE_EGL_HIDE");
  if (!list) return false;
  std::size_t length = std::strlen(name);
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, ',');
    std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
    if (n == length && std::strncmp(p, name, n) == 0) return true;
    if (!end) break;
    p = end + 1;
  }
  return false;
}

Proc forward_get_proc_address(const char* name) {
  if (hidden(name)) return nullptr;
  static const GetProcAddress get = real<GetProcAddress>("eglGetProcAddress");
  return get ? get(name) : nullptr;
}

void* forward_get_current_context() {
  static const GetCurrentContext get = real<GetCurrentContext>("eglGetCurrentContext");
  return get ? get() : nullptr;
}

}  // namespace

extern "C" {

// Resolvers of the two indirect functions: run at every dlsym of their names.
GetProcAddress quarn_fake_resolve_get_proc_address() {
  return hidden("eglGetProcAddress") ? nullptr : &forward_get_proc_address;
}
GetCurrentContext quarn_fake_resolve_get_current_context() {
  return hidden("eglGetCurrentContext") ? nullptr : &forward_get_current_context;
}

__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_proc_address"))) Proc
eglGetProcAddress(const char* name);
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_context"))) void*
eglGetCurrentContext();

}  // extern "C"
