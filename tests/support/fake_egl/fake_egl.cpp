// A stand-in for libEGL.so.1 (it carries that soname) that forwards to the system's EGL but
// hides the names listed, comma-separated, in QUARN_FAKE_EGL_HIDE, read afresh at every lookup:
// `eglGetProcAddress` returns null for them, and the three functions taken with dlsym are
// indirect, so that a dlsym of one while it is hidden finds null.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

using Proc = void (*)();
using GetProcAddress = Proc (*)(const char*);
using GetCurrent = void* (*)();  // eglGetCurrentContext, eglGetCurrentDisplay

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

Proc forward_get_proc_address(const char* name) {
  static const auto get = real<GetProcAddress>("eglGetProcAddress");
  return hidden(name) || !get ? nullptr : get(name);
}

template <const char* NAME>
void* forward_get_current() {
  static const auto get = real<GetCurrent>(NAME);
  return get ? get() : nullptr;
}

constexpr char GET_CURRENT_CONTEXT[] = "eglGetCurrentContext";
constexpr char GET_CURRENT_DISPLAY[] = "eglGetCurrentDisplay";

}  // namespace

extern "C" {

// Resolvers of the indirect functions: run at every dlsym of their names.
GetProcAddress quarn_fake_resolve_get_proc_address() {
  return hidden("eglGetProcAddress") ? nullptr : &forward_get_proc_address;
}
GetCurrent quarn_fake_resolve_get_current_context() {
  return hidden(GET_CURRENT_CONTEXT) ? nullptr : &forward_get_current<GET_CURRENT_CONTEXT>;
}
GetCurrent quarn_fake_resolve_get_current_display() {
  return hidden(GET_CURRENT_DISPLAY) ? nullptr : &forward_get_current<GET_CURRENT_DISPLAY>;
}

__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_proc_address"))) Proc
eglGetProcAddress(const char* name);
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_context"))) void*
eglGetCurrentContext();
__attribute__((visibility("default"), ifunc("quarn_fake_resolve_get_current_display"))) void*
eglGetCurrentDisplay();

}  // extern "C"
