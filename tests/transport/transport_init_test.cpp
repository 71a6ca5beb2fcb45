// `init` against an EGL that lacks what the transport needs. Before main this suite maps the
// stand-in "libEGL.so.1" (tests/support/fake_egl), which hides the names listed in
// QUARN_FAKE_EGL_HIDE; the library's first lookup of EGL finds it. Process-wide state: the
// tests run in order, and this process never grows the ring past one slot.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "quarn/transport/transport.h"
#include "support/gl_api.h"
#include "support/gl_fixture.h"
#include "transport/readback.h"

namespace tr = qn::transport;

namespace {

using TransportInit = qn_test::StandInEglTest;

}  // namespace

TEST_F(TransportInit, MissingFunctionsFailWithTheirMessages) {
  std::vector<std::pair<std::string, std::string>> cases{
      // before the bootstrap has ever succeeded, which it then keeps
      {"eglGetProcAddress", "libEGL.so.1 / eglGetProcAddress not available"},
      {"eglGetCurrentContext", "libEGL.so.1 / eglGetProcAddress not available"},
      {"", "no current EGL context on this thread"},
      {"eglGetCurrentDisplay", "EGL_KHR_fence_sync not available"},
      {"eglCreateSyncKHR", "EGL_KHR_fence_sync not available"},
      {"eglClientWaitSyncKHR", "EGL_KHR_fence_sync not available"},
      {"eglDestroySyncKHR,glReadPixels", "EGL_KHR_fence_sync not available"},
      {"glFlush,glBindFramebuffer,glMapBufferRange", "OpenGL entry point glFlush not available"},
  };
  for (const char* gl :
       {"glBindFramebuffer", "glReadBuffer", "glReadPixels", "glGenBuffers", "glDeleteBuffers",
        "glBindBuffer", "glBufferStorage", "glMapBufferRange", "glUnmapBuffer", "glFlush"})
    cases.emplace_back(gl, std::string("OpenGL entry point ") + gl + " not available");
  float dst[4];
  EXPECT_EQ(tr::start(0, 0, 0, 0, 1, 1, 4, dst, nullptr, 0, nullptr), 0u);  // before `init`
  for (const auto& [hidden, message] : cases) {
    SCOPED_TRACE(message);
    if (hidden.empty())
      ASSERT_TRUE(qn_test::GlContext::release_current());
    else
      qn_test::hide_egl(hidden.c_str());
    std::string err = "untouched";
    EXPECT_FALSE(tr::init(&err));
    EXPECT_EQ(err, message);
    EXPECT_FALSE(tr::ready());
    unsetenv("QUARN_FAKE_EGL_HIDE");
    ASSERT_TRUE(shared_context().make_current());
  }
}

TEST_F(TransportInit, RingOfOneWhenSetToZeroBeforeInit) {
  tr::set_ring_size(0);
  std::string err = "untouched";
  ASSERT_TRUE(tr::init(&err)) << err;
  EXPECT_EQ(err, "untouched");
  qn_test::hide_egl("glReadPixels");
  EXPECT_TRUE(tr::init(&err));  // ready: nothing is looked up again
  unsetenv("QUARN_FAKE_EGL_HIDE");
  qn_test::FloatTarget target(8, 8, 1);
  qn_test::expect_ring_of(1, target.fbo());
  tr::close();
}
