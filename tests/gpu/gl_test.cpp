#include "quarn/gpu/gl.h"

#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <thread>

#include "support/gl_fixture.h"

namespace gl = qn::gpu::gl;
using qn_test::GlContext;
using qn_test::GlTest;

namespace {

// Every pointer of the table, in table order.
std::vector<void*> entry_points() {
  std::vector<void*> all;
#define QN_TEST_COLLECT_(name, ret, params, args) all.push_back(reinterpret_cast<void*>(gl::name));
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_COLLECT_)
#undef QN_TEST_COLLECT_
  return all;
}

// How many objects mapped into the process are a libEGL.so.1.
int egl_instances() {
  int count = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const char* slash = std::strrchr(info->dlpi_name, '/');
        const char* base = slash ? slash + 1 : info->dlpi_name;
        if (std::strcmp(base, "libEGL.so.1") == 0) ++*static_cast<int*>(data);
        return 0;
      },
      &count);
  return count;
}

}  // namespace

TEST_F(GlTest, LoadResolvesTheWholeTableForTheCurrentContext) {
  std::string err = "untouched";
  ASSERT_TRUE(gl::load(&err));
  EXPECT_EQ(err, "untouched");
  EXPECT_TRUE(gl::loaded());
  EXPECT_EQ(gl::loaded_context(), shared_context().handle());
  EXPECT_EQ(gl::current_context(), shared_context().handle());
  auto pointers = entry_points();
  EXPECT_EQ(pointers.size(), 16u);
  for (void* p : pointers) EXPECT_NE(p, nullptr);
  // The pointers are GL's own: GetError answers, and reloading yields the same addresses.
  EXPECT_EQ(gl::GetError(), 0u);
  ASSERT_TRUE(gl::load(nullptr));
  EXPECT_EQ(entry_points(), pointers);
}

TEST_F(GlTest, UsesTheEglInstanceTheHostMapped) { EXPECT_EQ(egl_instances(), 1); }

TEST_F(GlTest, LoadWithoutCurrentContextKeepsThePreviousLoad) {
  ASSERT_TRUE(GlContext::release_current());
  EXPECT_EQ(gl::current_context(), nullptr);
  std::string err = "untouched";
  EXPECT_FALSE(gl::load(&err));
  EXPECT_EQ(err, "no current EGL context on this thread");
  EXPECT_FALSE(gl::load(nullptr));
  EXPECT_TRUE(gl::loaded());
  EXPECT_EQ(gl::loaded_context(), shared_context().handle());
  EXPECT_NE(gl::BindFramebuffer, nullptr);
}

TEST_F(GlTest, AnotherThreadHasNoCurrentContext) {
  gl::EglContext seen = shared_context().handle();
  std::thread([&] { seen = gl::current_context(); }).join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(gl::current_context(), shared_context().handle());
}

TEST_F(GlTest, LoadingAnotherContextMakesItTheLoadedOne) {
  GlContext second;
  ASSERT_EQ(second.error(), "");
  ASSERT_TRUE(second.make_current());
  EXPECT_EQ(gl::loaded_context(), shared_context().handle());
  EXPECT_EQ(gl::current_context(), second.handle());
  ASSERT_TRUE(gl::load(nullptr));
  EXPECT_EQ(gl::loaded_context(), second.handle());
  EXPECT_TRUE(gl::loaded());
  ASSERT_TRUE(shared_context().make_current());
}
