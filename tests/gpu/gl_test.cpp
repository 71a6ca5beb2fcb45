// Loading the GL entry points, against the real EGL and against one that lacks what the layer
// needs. Before main this suite maps a stand-in for "libEGL.so.1" (tests/support/fake_egl) that
// forwards to the system's EGL but hides the names listed in QUARN_FAKE_EGL_HIDE; the library's
// first lookup of EGL finds it. The state under test is process-wide: the tests run in order.
#include "quarn/gpu/gl.h"

#include <GL/glcorearb.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "quarn/gpu/draw.h"
#include "support/gl_calls.h"
#include "support/gl_context.h"
#include "support/stand_in_egl.h"

namespace gl = qn::gpu::gl;
namespace gpu = qn::gpu;
using qn_test::GlContext;

namespace {

using qn_test::hide_egl;

// The variables that are null now.
std::vector<std::string> null_entry_points() {
  std::vector<std::string> null;
#define QN_TEST_NULL_(name, ret, params, args) \
  if (!gl::name) null.push_back(#name);
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_NULL_)
  return null;
}

using Load = qn_test::StandInEglTest;

// Every uniform call and both draws with the layer not loaded: none may reach GL or count.
void expect_nothing_happens() {
  const std::uint32_t program = 700001;
  const float v[16] = {};
  const gpu::Pending list[] = {{0, 1, {}}, {-1, 4, {}}};
  const gpu::Unit unit = {0, GL_TEXTURE_2D, 0, 0};
  gpu::DrawStats before = gpu::stats();
  gpu::uniform_set(program, 0, v, 1);
  gpu::uniform_set(program, -1, v, 16);
  gpu::uniform_set_many(program, list, 2);
  gpu::uniform_set_block(program, 9, list, 2);
  EXPECT_EQ(gpu::draw_in_context(0, 1, 1, program, list, 2, &unit, 1, 0, GL_TRIANGLES, 3, 0), -2);
  EXPECT_EQ(gpu::draw(0, 1, 1, program, list, 2, &unit, 1, 0, GL_TRIANGLES, 3, 0), -2);
  EXPECT_FALSE(gpu::program_known(program));
  EXPECT_EQ(gpu::stats().draws, before.draws);
  EXPECT_EQ(gpu::stats().uniform_uploads, before.uniform_uploads);
  EXPECT_EQ(gpu::stats().uniform_skips, before.uniform_skips);
}

}  // namespace

TEST_F(Load, WithoutItsBootstrapFunctionsEglIsNotAvailableUntilTheyAppear) {
  for (const char* hidden :
       {"eglGetProcAddress", "eglGetCurrentContext", "eglGetCurrentContext,eglGetProcAddress"}) {
    SCOPED_TRACE(hidden);
    hide_egl(hidden);
    std::string err = "untouched";
    EXPECT_FALSE(gl::load(&err));
    EXPECT_EQ(err, "libEGL.so.1 / eglGetProcAddress not available");
    EXPECT_FALSE(gl::load(nullptr));
    EXPECT_EQ(gl::current_context(), nullptr);  // although a context is current
    EXPECT_FALSE(gl::loaded());
    EXPECT_EQ(gl::loaded_context(), nullptr);
    EXPECT_EQ(null_entry_points().size(), 16u);  // nothing was looked up
    expect_nothing_happens();
  }
  // A failed bootstrap is tried again: with everything visible the whole table loads.
  unsetenv("QUARN_FAKE_EGL_HIDE");
  std::string err = "untouched";
  ASSERT_TRUE(gl::load(&err));
  EXPECT_EQ(err, "untouched");
  EXPECT_TRUE(gl::loaded());
  EXPECT_EQ(gl::loaded_context(), context().handle());
  EXPECT_TRUE(null_entry_points().empty());

  // Once found, the bootstrap functions stay in use.
  hide_egl("eglGetProcAddress,eglGetCurrentContext");
  EXPECT_EQ(gl::current_context(), context().handle());
  EXPECT_TRUE(gl::load(nullptr));
}

TEST_F(Load, WithoutCurrentContextKeepsTheStateOfTheLastLoad) {
  ASSERT_TRUE(gl::load(nullptr));
  for (const char* before : {"", "glScissor"}) {  // after a success, then after a failure
    SCOPED_TRACE(before);
    hide_egl(before);
    bool was_loaded = gl::load(nullptr);
    gl::EglContext was_context = gl::loaded_context();
    std::vector<std::string> was_null = null_entry_points();
    ASSERT_TRUE(GlContext::release_current());
    std::string err;
    EXPECT_FALSE(gl::load(&err));
    EXPECT_EQ(err, "no current EGL context on this thread");
    EXPECT_EQ(gl::loaded(), was_loaded);
    EXPECT_EQ(gl::loaded_context(), was_context);
    EXPECT_EQ(null_entry_points(), was_null);
    ASSERT_TRUE(context().make_current());
  }
}

TEST_F(Load, EachMissingEntryPointHasItsMessage) {
  std::vector<std::string> names;
#define QN_TEST_NAME_(name, ret, params, args) names.push_back(#name);
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_NAME_)
  ASSERT_EQ(names.size(), 16u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    hide_egl(("gl" + name).c_str());
    std::string err;
    EXPECT_FALSE(gl::load(&err));
    EXPECT_EQ(err, "OpenGL entry point gl" + name + " not available");
    EXPECT_FALSE(gl::loaded());
    EXPECT_EQ(null_entry_points(), std::vector<std::string>{name});
  }
}

TEST_F(Load, SeveralMissingNameTheLastAndLeaveTheLayerNotLoaded) {
  ASSERT_TRUE(gl::load(nullptr));
  hide_egl("glBindSampler,glGetError");
  std::string err = "untouched";
  EXPECT_FALSE(gl::load(&err));
  EXPECT_EQ(err, "OpenGL entry point glGetError not available");
  EXPECT_FALSE(gl::loaded());
  EXPECT_EQ(gl::loaded_context(), nullptr);
  EXPECT_EQ(null_entry_points(), (std::vector<std::string>{"BindSampler", "GetError"}));
  // With null entry points nothing may call through the table, and with callable wrappers in
  // their place the layer still refuses while not loaded.
  expect_nothing_happens();
  qn_test::GlCallLog calls;
  expect_nothing_happens();
  EXPECT_TRUE(calls.calls.empty());
}
