#include "gpu/egl_bootstrap.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace qn::gpu::detail {
namespace {

constexpr const char* EGL_LIBRARY = "libEGL.so.1";

// Written once, under `g_bootstrap_mutex`, before `g_ready` publishes it.
EglBootstrap g_bootstrap{};
std::atomic<const EglBootstrap*> g_ready{nullptr};
std::mutex g_bootstrap_mutex;

}  // namespace

void* egl_library(bool may_load) {
  void* handle = dlopen(EGL_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  if (!handle && may_load) handle = dlopen(EGL_LIBRARY, RTLD_NOW);
  return handle;
}

EglProc egl_library_symbol(const char* name) {
  void* handle = egl_library(true);
  return handle ? reinterpret_cast<EglProc>(dlsym(handle, name)) : nullptr;
}

const EglBootstrap* egl_bootstrap() {
  if (const EglBootstrap* ready = g_ready.load(std::memory_order_acquire)) return ready;
  std::lock_guard lock(g_bootstrap_mutex);
  if (const EglBootstrap* ready = g_ready.load(std::memory_order_relaxed)) return ready;
  void* handle = egl_library(true);
  if (!handle) return nullptr;
  void* get_proc_address = dlsym(handle, "eglGetProcAddress");
  void* get_current_context = dlsym(handle, "eglGetCurrentContext");
  if (!get_proc_address || !get_current_context) return nullptr;
  g_bootstrap.get_proc_address = reinterpret_cast<EglProc (*)(const char*)>(get_proc_address);
  g_bootstrap.get_current_context = reinterpret_cast<void* (*)()>(get_current_context);
  g_ready.store(&g_bootstrap, std::memory_order_release);
  return &g_bootstrap;
}

}  // namespace qn::gpu::detail
