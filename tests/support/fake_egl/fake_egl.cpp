// A stand-in for libEGL.so.1 that forwards to the system's EGL but hides the names listed in
// QUARN_FAKE_EGL_HIDE (comma-separated, read at every lookup), also from dlsym: indirect functions.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

using Proc = void (*)();
using GetProcAddress = Proc (*)(const char*);
using GetCurrent = void* (*)();

template <class F>
F real(const char* name) {
  static void* egl = dlopen("/usr/lib/x86_64-linux-gnu/libEGL.so.1", RTLD_NOW | RTLD_LOCAL);
  return egl ? reinterpret_cast<F>(dlsym(egl, name)) : nullptr;
}

bool hidden(const char* name) {  // whole entries of the list only
  const char* list = std::getenv("QUARN_FAKE_EGL_HIDE");
  return list &&
         ("," + std::string(list) + ",").find("," + std::string(name) + ",") != std::string::npos;
}

Proc forward_lookup(const char* name) {
  static const auto get = real<GetProcAddress>("eglGetProcAddress");
  return hidden(name) || !get ? nullptr : get(name);
}

}  // namespace

extern "C" {

GetProcAddress quarn_fake_resolve_get_proc_address() {
  return hidden("eglGetProcAddress") ? nullptr : &forward_lookup;
}
GetCurrent quarn_fake_resolve_get_current_context() {
  return hidden("eglGetCurrentContext") ? nullptr : real<GetCurrent>("eglGetCurrentContext");
}
GetCurrent quarn_fake_resolve_get_current_display() {
  return hidden("eglGetCurrentDisplay") ? nullptr : real<GetCurrent>("eglGetCurrentDisplay");
}

__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_proc_address"))) Proc
eglGetProcAddress(const char* name);
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_context"))) void*
eglGetCurrentContext();
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_display"))) void*
eglGetCurrentDisplay();

}  // extern "C"
