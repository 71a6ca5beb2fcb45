// A stand-in for libEGL.so.1 that forwards to the system's EGL but hides the names listed in
// QUARN_FAKE_EGL_HIDE (comma-separated, read at every lookup), also from dlsym: indirect functions.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

using Proc = void (*)();
using GetProcAddress = Proc (*)(const char*);
using GetCurrent = void* (*)();

bool hidden(const char* name) {  // whole entries of the list only
  const char* list = std::getenv("QUARN_FAKE_EGL_HIDE");
  return list &&
         ("," + std::string(list) + ",").find("," + std::string(name) + ",") != std::string::npos;
}

template <class F>
F real(const char* name) {  // the system's, hidden or not
  static void* egl = dlopen("/usr/lib/x86_64-linux-gnu/libEGL.so.1", RTLD_NOW | RTLD_LOCAL);
  return egl ? reinterpret_cast<F>(dlsym(egl, name)) : nullptr;
}

template <class F>
F unless_hidden(const char* name) {
  return hidden(name) ? nullptr : real<F>(name);
}

Proc forward_lookup(const char* name) {
  static const auto get = real<GetProcAddress>("eglGetProcAddress");
  return hidden(name) || !get ? nullptr : get(name);
}

}  // namespace

extern "C" {

GetProcAddress resolve_lookup() { return hidden("eglGetProcAddress") ? nullptr : &forward_lookup; }
GetCurrent resolve_context() { return unless_hidden<GetCurrent>("eglGetCurrentContext"); }
GetCurrent resolve_display() { return unless_hidden<GetCurrent>("eglGetCurrentDisplay"); }

__attribute__((ifunc("resolve_lookup"))) Proc eglGetProcAddress(const char* name);
__attribute__((ifunc("resolve_context"))) void* eglGetCurrentContext();
__attribute__((ifunc("resolve_display"))) void* eglGetCurrentDisplay();

}  // extern "C"
