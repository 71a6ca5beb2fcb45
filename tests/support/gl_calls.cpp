#include "support/gl_calls.h"

#include <algorithm>
#include <cstdlib>

#include "quarn/gpu/gl.h"

namespace qn_test {
namespace {

namespace gl = qn::gpu::gl;
using namespace qn::gpu::gl;  // the GL scalar types the entry-point list names

GlCallLog* g_log = nullptr;

#define QN_TEST_WRAP_(name, ret, params, args) \
  name##Proc g_saved_##name = nullptr;         \
  ret wrapped_##name params {                  \
    g_log->record(#name);                      \
    return g_saved_##name args;                \
  }
QN_GPU_GL_ENTRY_POINTS(QN_TEST_WRAP_)
#undef QN_TEST_WRAP_

}  // namespace

GlCallLog::GlCallLog() {
  if (g_log) std::abort();  // one log at a time
  g_log = this;
#define QN_TEST_INSTALL_(name, ret, params, args) \
  g_saved_##name = gl::name;                      \
  gl::name = &wrapped_##name;
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_INSTALL_)
#undef QN_TEST_INSTALL_
}

GlCallLog::~GlCallLog() {
#define QN_TEST_RESTORE_(name, ret, params, args) \
  if (gl::name == &wrapped_##name) gl::name = g_saved_##name;
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_RESTORE_)
#undef QN_TEST_RESTORE_
  g_log = nullptr;
}

std::size_t GlCallLog::count(std::string_view name) const {
  return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), name));
}

std::size_t GlCallLog::uniform_calls() const {
  return static_cast<std::size_t>(std::count_if(
      calls_.begin(), calls_.end(), [](auto n) { return n.starts_with("ProgramUniform"); }));
}

}  // namespace qn_test
