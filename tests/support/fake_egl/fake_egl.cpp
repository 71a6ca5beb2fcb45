// A stand-in for libEGL.so.1 (it carries that soname) that forwards to the system's EGL but
// hides the names listed, comma-separated, in QUARN_FAKE_EGL_HIDE, read afresh at every lookup:
// `eglGetProcAddress` returns null for a hidden name, and it and `eglGetCurrentContext` are
// indirect functions, so that a dlsym of either while it is hidden finds null; so is
// `eglGetCurrentDisplay`, which the readback transport takes with dlsym.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

using Proc = void (*)();
using GetProcAddress = Proc (*)(const char*);
using GetCurrentContext = void* (*)();
using GetCurrentDisplay = void* (*)();

template <class F>
F real(const char* name) {
  static void* egl = dlopen("/usr/lib/x86_64-linux-gnu/libEGL.so.1", RTLD_NOW | RTLD_LOCAL);
  return egl ? reinterpret_cast<F>(dlsym(egl, name)) : nullptr;
}

bool hidden(const char* name) {
  const char* list = std::getenv("QUARN_FAKE_EGL_HIDE");
  if (!list) return false;
  // A comma-separated list of names; compare whole entries only.
  std::string padded(",");
  padded.append(list).append(",");
  std::string entry(",");
  entry.append(name).append(",");
  return padded.find(entry) != std::string::npos;
}

Proc forward_get_proc_address(const char* name) {
  static const auto get = real<GetProcAddress>("eglGetProcAddress");
  return hidden(name) || !get ? nullptr : get(name);
}

void* forward_get_current_context() {
  static const auto get = real<GetCurrentContext>("eglGetCurrentContext");
  return get ? get() : nullptr;
}

void* forward_get_current_display() {
  static const auto get = real<GetCurrentDisplay>("eglGetCurrentDisplay");
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
GetCurrentDisplay quarn_fake_resolve_get_current_display() {
  return hidden("eglGetCurrentDisplay") ? nullptr : &forward_get_current_display;
}

__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_proc_address"))) Proc
eglGetProcAddress(const char* name);
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_context"))) void*
eglGetCurrentContext();
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_display"))) void*
eglGetCurrentDisplay();

}  // extern "C"
