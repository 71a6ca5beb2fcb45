#include "support/gl_fixture.h"

#include <cstdio>

#include "quarn/gpu/gl.h"

namespace qn_test {

GlContext& GlTest::shared_context() {
  static GlContext* context = new GlContext;  // never destroyed: it is current until exit
  return *context;
}

void GlTest::SetUp() {
  if (!egl_unavailable().empty()) {
    std::fprintf(stderr, "\n*** GPU TEST SKIPPED: NO EGL DISPLAY: %s ***\n\n",
                 egl_unavailable().c_str());
    GTEST_SKIP() << "no EGL display: " << egl_unavailable();
  }
  ASSERT_EQ(shared_context().error(), "");
  ASSERT_TRUE(shared_context().make_current());
  std::string err;
  ASSERT_TRUE(qn::gpu::gl::load(&err)) << err;
  ASSERT_EQ(gl().missing, "");
}

}  // namespace qn_test
