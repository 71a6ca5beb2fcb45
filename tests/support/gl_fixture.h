// tests/support/gl_fixture.h — the fixture of the gpu suites: every test starts on the main
// thread with the process's shared GL context current and the GPU layer loaded for it. Without
// an EGL display the tests fail; they never skip.
#pragma once

#include <gtest/gtest.h>

#include "quarn/gpu/gl.h"
#include "support/gl_api.h"

namespace qn_test {

class GlTest : public ::testing::Test {
 protected:
  static GlContext& shared_context() {
    static GlContext* context = new GlContext;  // never destroyed: current until exit
    return *context;
  }
  void SetUp() override {
    ASSERT_EQ(shared_context().error(), "");
    ASSERT_TRUE(shared_context().make_current());
    std::string err;
    ASSERT_TRUE(qn::gpu::gl::load(&err)) << err;
  }
};

}  // namespace qn_test
