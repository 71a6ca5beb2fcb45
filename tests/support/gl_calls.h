// tests/support/gl_calls.h — counting the GL calls the library makes by swapping the exported
// qn::gpu::gl pointers for forwarding wrappers, as a host may. While a GlCallLog lives, every
// call through one of them is recorded by name (without "gl"), shown to its hooks if it has any,
// and forwarded to the pointer that was there before. One log at a time, on the GL thread.
#pragma once

#include <string_view>
#include <vector>

#include "quarn/gpu/gl.h"

namespace qn_test::gl_calls_detail {

using namespace qn::gpu::gl;

/// What a log shows each call to, before forwarding it: override the entry points of interest.
struct GlHooks {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define QN_TEST_HOOK_(name, ret, params, args) \
  virtual void name params {}
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_HOOK_)
#undef QN_TEST_HOOK_
#pragma GCC diagnostic pop
  virtual ~GlHooks() = default;
};

inline std::vector<std::string_view>* g_calls = nullptr;
inline GlHooks* g_hooks = nullptr;
#define QN_TEST_WRAP_(name, ret, params, args) \
  inline name##Proc g_saved_##name = nullptr;  \
  inline ret wrapped_##name params {           \
    g_calls->push_back(#name);                 \
    if (g_hooks) g_hooks->name args;           \
    return g_saved_##name args;                \
  }
QN_GPU_GL_ENTRY_POINTS(QN_TEST_WRAP_)
#undef QN_TEST_WRAP_

}  // namespace qn_test::gl_calls_detail

namespace qn_test {

using gl_calls_detail::GlHooks;

struct GlCallLog {
  explicit GlCallLog(GlHooks* hooks = nullptr) {
    using namespace gl_calls_detail;
    g_calls = &calls;
    g_hooks = hooks;
#define QN_TEST_INSTALL_(name, ret, params, args) \
  g_saved_##name = qn::gpu::gl::name;             \
  qn::gpu::gl::name = &wrapped_##name;
    QN_GPU_GL_ENTRY_POINTS(QN_TEST_INSTALL_)
#undef QN_TEST_INSTALL_
  }
  ~GlCallLog() {
    using namespace gl_calls_detail;
#define QN_TEST_RESTORE_(name, ret, params, args) \
  if (qn::gpu::gl::name == &wrapped_##name) qn::gpu::gl::name = g_saved_##name;
    QN_GPU_GL_ENTRY_POINTS(QN_TEST_RESTORE_)
#undef QN_TEST_RESTORE_
  }
  std::size_t size() const { return calls.size(); }

  std::vector<std::string_view> calls;  // in order
};

}  // namespace qn_test
