// The layer against an EGL that lacks what it needs. Before main, this suite maps a stand-in
// for "libEGL.so.1" (tests/gpu/fake_egl.cpp) that forwards to the system's EGL but hides the
// names listed in QUARN_FAKE_EGL_HIDE; the library's first lookup of EGL then finds the
// stand-in. The state under test is process-wide, so the tests run in the order written.
#include <GL/glcorearb.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "quarn/gpu/draw.h"
#include "quarn/gpu/gl.h"
#include "quarn/gpu/program_registry.h"
#include "support/gl_calls.h"
#include "support/gl_context.h"

namespace gl = qn::gpu::gl;
namespace gpu = qn::gpu;
using qn_test::GlCallLog;
using qn_test::GlContext;

namespace {

void* const g_stand_in = dlopen(QUARN_FAKE_EGL, RTLD_NOW | RTLD_LOCAL);

void hide(const char* names) { setenv("QUARN_FAKE_EGL_HIDE", names, 1); }
void show_everything() { unsetenv("QUARN_FAKE_EGL_HIDE"); }

struct Names {
  const char* variable;
  const char* message;
};

// The table as the library should see it: every variable with its fixed message.
const Names TABLE[] = {
    {"BindFramebuffer", "OpenGL entry point glBindFramebuffer not available"},
    {"Viewport", "OpenGL entry point glViewport not available"},
    {"Scissor", "OpenGL entry point glScissor not available"},
    {"UseProgram", "OpenGL entry point glUseProgram not available"},
    {"ActiveTexture", "OpenGL entry point glActiveTexture not available"},
    {"BindTexture", "OpenGL entry point glBindTexture not available"},
    {"BindSampler", "OpenGL entry point glBindSampler not available"},
    {"BindVertexArray", "OpenGL entry point glBindVertexArray not available"},
    {"DrawElementsInstancedBaseInstance",
     "OpenGL entry point glDrawElementsInstancedBaseInstance not available"},
    {"ProgramUniform1fv", "OpenGL entry point glProgramUniform1fv not available"},
    {"ProgramUniform2fv", "OpenGL entry point glProgramUniform2fv not available"},
    {"ProgramUniform3fv", "OpenGL entry point glProgramUniform3fv not available"},
    {"ProgramUniform4fv", "OpenGL entry point glProgramUniform4fv not available"},
    {"ProgramUniformMatrix3fv", "OpenGL entry point glProgramUniformMatrix3fv not available"},
    {"ProgramUniformMatrix4fv", "OpenGL entry point glProgramUniformMatrix4fv not available"},
    {"GetError", "OpenGL entry point glGetError not available"},
};

// Names of the variables that are null now.
std::vector<std::string> null_entry_points() {
  std::vector<std::string> null;
#define QN_TEST_NULL_(name, ret, params, args) \
  if (!gl::name) null.push_back(#name);
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_NULL_)
#undef QN_TEST_NULL_
  return null;
}

class MissingEgl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_NE(g_stand_in, nullptr) << dlerror();
    if (!qn_test::egl_unavailable().empty()) return;
    context_ = new GlContext;  // current until exit
  }
  void SetUp() override {
    if (!qn_test::egl_unavailable().empty()) {
      std::fprintf(stderr, "\n*** GPU TEST SKIPPED: NO EGL DISPLAY: %s ***\n\n",
                   qn_test::egl_unavailable().c_str());
      GTEST_SKIP() << "no EGL display";
    }
    ASSERT_EQ(context_->error(), "");
    ASSERT_TRUE(context_->make_current());
  }
  void TearDown() override { show_everything(); }

  static GlContext* context_;
};
GlContext* MissingEgl::context_ = nullptr;

// Every uniform call and both draws, with the layer not loaded: none may reach GL or count.
void expect_nothing_happens(std::uint32_t program) {
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

TEST_F(MissingEgl, WithoutItsBootstrapFunctionsEglIsNotAvailable) {
  for (const char* hidden :
       {"eglGetProcAddress", "eglGetCurrentContext", "eglGetCurrentContext,eglGetProcAddress"}) {
    SCOPED_TRACE(hidden);
    hide(hidden);
    std::string err = "untouched";
    EXPECT_FALSE(gl::load(&err));
    EXPECT_EQ(err, "libEGL.so.1 / eglGetProcAddress not available");
    EXPECT_FALSE(gl::load(nullptr));
    EXPECT_EQ(gl::current_context(), nullptr);  // although a context is current
    EXPECT_FALSE(gl::loaded());
    EXPECT_EQ(gl::loaded_context(), nullptr);
    EXPECT_EQ(null_entry_points().size(), 16u);  // nothing was looked up
    expect_nothing_happens(700001);
  }
  // A failed bootstrap is tried again: with everything visible the same process loads.
  show_everything();
  EXPECT_EQ(gl::current_context(), context_->handle());
  std::string err = "untouched";
  ASSERT_TRUE(gl::load(&err));
  EXPECT_EQ(err, "untouched");
  EXPECT_EQ(gl::loaded_context(), context_->handle());
}

TEST_F(MissingEgl, OnceFoundTheBootstrapStaysFound) {
  hide("eglGetProcAddress,eglGetCurrentContext");
  EXPECT_EQ(gl::current_context(), context_->handle());
  EXPECT_TRUE(gl::load(nullptr));
}

TEST_F(MissingEgl, EachMissingEntryPointHasItsMessage) {
  for (const Names& row : TABLE) {
    SCOPED_TRACE(row.variable);
    std::string gl_name = std::string("gl") + row.variable;
    hide(gl_name.c_str());
    std::string err;
    EXPECT_FALSE(gl::load(&err));
    EXPECT_EQ(err, row.message);
    EXPECT_EQ(null_entry_points(), std::vector<std::string>{row.variable});
  }
}

TEST_F(MissingEgl, SeveralMissingNameTheLastAndLeaveTheLayerNotLoaded) {
  ASSERT_TRUE(gl::load(nullptr));
  hide("glBindSampler,glGetError");
  std::string err = "untouched";
  EXPECT_FALSE(gl::load(&err));
  EXPECT_EQ(err, "OpenGL entry point glGetError not available");
  EXPECT_FALSE(gl::loaded());
  EXPECT_EQ(gl::loaded_context(), nullptr);
  EXPECT_EQ(null_entry_points(), (std::vector<std::string>{"BindSampler", "GetError"}));
  EXPECT_FALSE(gl::load(nullptr));  // the same without a message
  EXPECT_FALSE(gl::loaded());

  // With null entry points in the table nothing may call through it...
  expect_nothing_happens(700002);
  // ...and with every pointer callable (wrappers), the layer still refuses while not loaded.
  GlCallLog calls;
  expect_nothing_happens(700003);
  EXPECT_TRUE(calls.calls().empty());
}

TEST_F(MissingEgl, NoCurrentContextLeavesTheFailedStateAlone) {
  hide("glScissor");
  EXPECT_FALSE(gl::load(nullptr));
  show_everything();
  ASSERT_TRUE(GlContext::release_current());
  std::string err;
  EXPECT_FALSE(gl::load(&err));
  EXPECT_EQ(err, "no current EGL context on this thread");
  EXPECT_EQ(null_entry_points(), std::vector<std::string>{"Scissor"});
  EXPECT_FALSE(gl::loaded());
}

TEST_F(MissingEgl, ADriverWithEverythingLoadsAgain) {
  std::string err = "untouched";
  ASSERT_TRUE(gl::load(&err));
  EXPECT_EQ(err, "untouched");
  EXPECT_TRUE(gl::loaded());
  EXPECT_EQ(gl::loaded_context(), context_->handle());
  EXPECT_TRUE(null_entry_points().empty());
  EXPECT_EQ(gpu::draw(0, 1, 1, 0, nullptr, 0, nullptr, 0, 0, GL_TRIANGLES, 0, 0), 0);
}
