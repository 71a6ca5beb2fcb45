#include "quarn/gpu/gl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <thread>

#include "quarn/gpu/draw.h"
#include "support/gl_fixture.h"

namespace gl = qn::gpu::gl;
namespace gpu = qn::gpu;

namespace {

using Load = qn_test::StandInEglTest;

std::vector<std::string> null_entry_points() {  // the variables that are null now
  std::vector<std::string> null;
#define QN_TEST_NULL_(name, ret, params, args) \
  if (!gl::name) null.push_back(#name);
  QN_GPU_GL_ENTRY_POINTS(QN_TEST_NULL_)
  return null;
}

// Every uploading call with the layer not loaded: none may reach GL, store or count anything.
void expect_nothing_happens() {
  const std::uint32_t program = 700001;
  const gpu::Pending list[] = {{0, 1, {}}, {-1, 4, {}}};
  const gpu::DrawStats before = gpu::stats();
  gpu::uniform_set(program, 0, list[0].values, 1);
  gpu::uniform_set_many(program, list, 2);
  gpu::uniform_set_block(program, 9, list, 2);
  EXPECT_EQ(gpu::draw_in_context(0, 1, 1, program, list, 2, nullptr, 0, 0, GL_TRIANGLES, 3, 0),
            gpu::DRAW_REFUSED);
  EXPECT_FALSE(gpu::program_known(program));
  EXPECT_EQ(std::memcmp(&before, &gpu::stats(), sizeof before), 0);
}

int bare_draw() { return gpu::draw(0, 1, 1, 0, nullptr, 0, nullptr, 0, 0, GL_TRIANGLES, 0, 0); }

}  // namespace

// One sequence: the state is process-wide. Steps load with a context current or on 8 threads
// without one; the third step's race to find EGL first shows only under ThreadSanitizer.
TEST_F(Load, LoadSucceedsOnlyWithEveryNameAndAContextAndDrawsOnlyWithThatContext) {
  const std::string no_egl = "libEGL.so.1 / eglGetProcAddress not available",
                    no_context = "no current EGL context on this thread";
  auto missing = [](std::string name) { return "OpenGL entry point gl" + name + " not available"; };
  const std::vector<std::string> all = null_entry_points();  // nothing is loaded yet
  ASSERT_EQ(all.size(), 16u);
  const qn_test::GlContext second;
  enum { NONE, SUITE, SECOND };
  // The names hidden, where the loads run, their message (empty: they load), the null variables.
  std::vector<std::tuple<std::string, int, std::string, std::vector<std::string>>> steps = {
      {"eglGetProcAddress", SUITE, no_egl, all},  // nothing is looked up without both
      {"eglGetCurrentContext", SUITE, no_egl, all},
      {"", NONE, no_context, all},  // a failed bootstrap is tried again
      {"", SUITE, "", {}},
      {"eglGetProcAddress,eglGetCurrentContext", SUITE, "", {}},  // once found, they stay in use
      {"", NONE, no_context, {}},  // keeps the state of the last load: a success
      {"", SECOND, "", {}},        // names of the suite's context mean nothing here
      {"glBindSampler,glGetError", SUITE, missing("GetError"), {"BindSampler", "GetError"}},
      {"", NONE, no_context, {"BindSampler", "GetError"}}};  // ... or a failure
  for (const std::string& name : all)
    steps.emplace_back("gl" + name, SUITE, missing(name), std::vector{name});
  for (const auto& [hidden, current, err, null] : steps) {
    SCOPED_TRACE(hidden + " " + std::to_string(current));
    qn_test::hide_egl(hidden.c_str());
    std::vector<std::pair<int, std::string>> got(current == NONE ? 8 : 1, {-1, "untouched"});
    auto load = [&](std::size_t i) { got[i].first = gl::load(&got[i].second) + gl::load(nullptr); };
    if (current == NONE) {
      std::latch start(std::ssize(got));
      std::vector<std::jthread> threads;
      for (std::size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
          start.arrive_and_wait();
          load(i);
          if (bare_draw() != gpu::DRAW_REFUSED) got[i].second += ", and drew";
        });
    } else {
      ASSERT_TRUE((current == SUITE ? shared_context() : second).make_current());
      load(0);
    }
    const std::pair<int, std::string> want(err.empty() ? 2 : 0, err.empty() ? "untouched" : err);
    EXPECT_EQ(got, std::vector(got.size(), want));
    const void* loaded_for = current == SECOND ? second.handle() : shared_context().handle();
    EXPECT_EQ(gl::loaded(), null.empty());
    EXPECT_EQ(gl::loaded_context(), null.empty() ? loaded_for : nullptr);
    EXPECT_EQ(null_entry_points(), null);
    if (!null.empty()) expect_nothing_happens();
    ASSERT_TRUE(shared_context().make_current());
    EXPECT_EQ(bare_draw(), null.empty() && current != SECOND ? gpu::DRAW_DONE : gpu::DRAW_REFUSED);
  }
}
