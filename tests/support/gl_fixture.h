// tests/support/gl_fixture.h — GlTest: the shared GL context current, the layer loaded; no skips.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/gl_api.h"

namespace qn_test {

class GlTest : public ::testing::Test {
 protected:
  static GlContext& shared_context() {
    static GlContext* context = new GlContext;  // never destroyed: current until exit
    return *context;
  }
  void SetUp() override {
    ASSERT_TRUE(shared_context().make_current()) << shared_context().error();
    std::string err;
    ASSERT_TRUE(qn::gpu::gl::load(&err)) << err;
  }
};

#ifdef QUARN_FAKE_EGL
// Maps the stand-in "libEGL.so.1" (fake_egl/) before main, for the library's first lookup of EGL.
inline void* const g_stand_in_egl = dlopen(QUARN_FAKE_EGL, RTLD_NOW | RTLD_LOCAL);

/// Hides `names` (comma-separated) from the stand-in until the test ends.
inline void hide_egl(const char* names) { setenv("QUARN_FAKE_EGL_HIDE", names, 1); }

/// Loading the layer is left to the test.
class StandInEglTest : public GlTest {
 protected:
  void SetUp() override { ASSERT_TRUE(g_stand_in_egl && shared_context().make_current()); }
  void TearDown() override { unsetenv("QUARN_FAKE_EGL_HIDE"); }
};
#endif

}  // namespace qn_test
