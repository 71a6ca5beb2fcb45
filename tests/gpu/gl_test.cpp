// Loading the GL entry points against the stand-in for "libEGL.so.1" (support/stand_in_egl.h),
// which forwards to the system's EGL but hides the names a step asks it to.
#include "quarn/gpu/gl.h"

#include <gtest/gtest.h>

#include "quarn/gpu/draw.h"
#include "support/gl_calls.h"
#include "support/stand_in_egl.h"

namespace gl = qn::gpu::gl;
namespace gpu = qn::gpu;

namespace {

using Load = qn_test::StandInEglTest;

// The variables that are null now.
std::vector<std::string> null_entry_points() {
  std::vector<std::string> null;
#define QN_TEST_NULL_(name, ret, params, args) \
  if (!gl::name) null.push_back(#name);
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_NULL_)
  return null;
}

// Every uploading call and both draws with the layer not loaded: none may reach GL or count.
void expect_nothing_happens() {
  const std::uint32_t program = 700001;
  const float v[16] = {};
  const gpu::Pending list[] = {{0, 1, {}}, {-1, 4, {}}};
  const gpu::Unit unit = {0, GL_TEXTURE_2D, 0, 0};
  auto counters = [s = &gpu::stats()] {
    return std::tuple(s->draws, s->uniform_uploads, s->uniform_skips);
  };
  const auto before = counters();
  gpu::uniform_set(program, 0, v, 1);
  gpu::uniform_set_many(program, list, 2);
  gpu::uniform_set_block(program, 9, list, 2);
  EXPECT_EQ(gpu::draw_in_context(0, 1, 1, program, list, 2, &unit, 1, 0, GL_TRIANGLES, 3, 0),
            gpu::DRAW_REFUSED);
  EXPECT_EQ(gpu::draw(0, 1, 1, program, list, 2, &unit, 1, 0, GL_TRIANGLES, 3, 0),
            gpu::DRAW_REFUSED);
  EXPECT_FALSE(gpu::program_known(program));
  EXPECT_EQ(counters(), before);
}

}  // namespace

// One sequence, for the state is process-wide. Each step hides names from the stand-in (or
// none), with the suite's context current or not, and loads: the result, the message, and which
// variables end up null (the layer counts as loaded, for that context, exactly when none are).
TEST_F(Load, LoadSucceedsOnlyWithEveryNameAndAContextAndKeepsItsStateWithout) {
  const std::string no_egl = "libEGL.so.1 / eglGetProcAddress not available",
                    no_context = "no current EGL context on this thread";
  const std::vector<std::string> all = null_entry_points();  // nothing is loaded yet
  ASSERT_EQ(all.size(), 16u);
  struct Step {
    std::string hidden;
    bool current;
    std::string err;  // empty: loads
    std::vector<std::string> null;
  };
  std::vector<Step> steps = {
      {"eglGetProcAddress", true, no_egl, all},  // nothing is looked up without both
      {"eglGetCurrentContext", true, no_egl, all},
      {"eglGetCurrentContext,eglGetProcAddress", true, no_egl, all},
      {"", true, "", {}},  // a failed bootstrap is tried again
      {"eglGetProcAddress,eglGetCurrentContext", true, "", {}},  // once found, they stay in use
      {"", false, no_context, {}},  // keeps the state of the last load: a success
      {"glScissor", true, "OpenGL entry point glScissor not available", {"Scissor"}},
      {"", false, no_context, {"Scissor"}},  // ... or a failure
      {"glBindSampler,glGetError",
       true,
       "OpenGL entry point glGetError not available",
       {"BindSampler", "GetError"}}};  // several missing: the last is named
  for (const std::string& name : all)
    steps.push_back({"gl" + name, true, "OpenGL entry point gl" + name + " not available", {name}});
  for (const Step& step : steps) {
    SCOPED_TRACE(step.hidden + (step.current ? "" : ", no context"));
    qn_test::hide_egl(step.hidden.c_str());
    ASSERT_TRUE(step.current || qn_test::GlContext::release_current());
    std::string err = "untouched";
    EXPECT_EQ(gl::load(&err), step.err.empty());
    EXPECT_EQ(err, step.err.empty() ? "untouched" : step.err);
    EXPECT_EQ(gl::load(nullptr), step.err.empty());
    void* const context = shared_context().handle();
    EXPECT_EQ(gl::current_context(), step.current && step.err != no_egl ? context : nullptr);
    EXPECT_EQ(gl::loaded(), step.null.empty());
    EXPECT_EQ(gl::loaded_context(), step.null.empty() ? context : nullptr);
    EXPECT_EQ(null_entry_points(), step.null);
    if (!step.null.empty()) expect_nothing_happens();
    ASSERT_TRUE(shared_context().make_current());
  }
  // With callable wrappers in place of the null entry points the layer still refuses.
  qn_test::GlCallLog calls;
  expect_nothing_happens();
  EXPECT_TRUE(calls.calls.empty());
}
