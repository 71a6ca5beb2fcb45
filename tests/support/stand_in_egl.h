// tests/support/stand_in_egl.h — the fixture of suites that run against the stand-in
// "libEGL.so.1" (tests/support/fake_egl), which forwards to the system's EGL but hides the names
// listed in QUARN_FAKE_EGL_HIDE. Including this maps the stand-in before main, so the library's
// first lookup of EGL finds it; the suite's target defines QUARN_FAKE_EGL (its path).
#pragma once

#include <dlfcn.h>

#include <cstdlib>

#include "support/gl_fixture.h"

namespace qn_test {

inline void* const g_stand_in_egl = dlopen(QUARN_FAKE_EGL, RTLD_NOW | RTLD_LOCAL);

/// Hides `names` (comma-separated) from the stand-in until the test ends.
inline void hide_egl(const char* names) { setenv("QUARN_FAKE_EGL_HIDE", names, 1); }

/// The shared context is made before anything is hidden; loading the layer is left to the test.
class StandInEglTest : public GlTest {
 protected:
  void SetUp() override {
    ASSERT_NE(g_stand_in_egl, nullptr) << dlerror();
    ASSERT_EQ(shared_context().error(), "");
    ASSERT_TRUE(shared_context().make_current());
  }
  void TearDown() override { unsetenv("QUARN_FAKE_EGL_HIDE"); }
};

}  // namespace qn_test
