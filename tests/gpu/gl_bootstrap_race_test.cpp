#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quarn/gpu/gl.h"

// Nothing in this process has looked EGL up before: the threads below race to be first.
TEST(GlBootstrap, ThreadsLookingUpEglForTheFirstTimeDoNotRace) {
  constexpr int THREADS = 8;
  std::atomic<int> waiting{THREADS};
  std::atomic<int> with_context{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i)
    threads.emplace_back([&] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      if (qn::gpu::gl::current_context() != nullptr) with_context.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(with_context.load(), 0);  // no thread has a context current
  // The bootstrap succeeded: a load now fails for want of a context, not of EGL.
  std::string err;
  EXPECT_FALSE(qn::gpu::gl::load(&err));
  EXPECT_EQ(err, "no current EGL context on this thread");
}
