#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "quarn/gpu/gl.h"

// Nothing in this process has looked EGL up before: the threads below race to be first. Each
// must see a finished bootstrap, so its load fails for want of a context, never for want of EGL.
// A data race inside the bootstrap that happens to give the right answer is only caught when
// this test runs under ThreadSanitizer (label tsan).
TEST(GlBootstrap, ThreadsLookingUpEglForTheFirstTimeDoNotRace) {
  constexpr int THREADS = 8;
  std::atomic<int> waiting{THREADS};
  std::vector<std::string> errors(THREADS);
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i)
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) {
      }
      if (qn::gpu::gl::current_context() || qn::gpu::gl::load(&errors[i])) errors[i] = "context";
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < THREADS; ++i)
    EXPECT_EQ(errors[i], "no current EGL context on this thread") << i;
}
