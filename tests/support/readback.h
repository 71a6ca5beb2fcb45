// tests/support/readback.h — what the transport suites share: the floats a readback of a
// patterned FloatTarget gives, and a probe of how many ring slots the transport has.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "quarn/transport/transport.h"

namespace qn_test {

/// The floats of (x, y, w, h) with `channels` of a FloatTarget `target_width` wide filled by
/// `fill_pattern`, rows bottom-up.
inline std::vector<float> pattern_rect(int target_width, int x, int y, int w, int h, int channels) {
  std::vector<float> out;
  out.reserve(std::size_t(w) * std::size_t(h) * std::size_t(channels));
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      for (int k = 0; k < channels; ++k)
        out.push_back(
            float((std::size_t(y + r) * std::size_t(target_width) + std::size_t(x + c)) * 4 +
                  std::size_t(k)));
  return out;
}

/// For a transport just initialised (no buffers) whose ring has `slots` slots: holds the
/// completion thread in the callback of a first readback, then starts `slots` more, which must
/// all find a slot, and one beyond, which must block until the callback is released. Every
/// slot then holds one new buffer.
inline void expect_ring_of(int slots, std::uint32_t fbo) {
  namespace tr = qn::transport;
  constexpr int SIDE = 8, FLOATS = SIDE * SIDE * 4;
  std::vector<float> dst(std::size_t(FLOATS) * std::size_t(slots + 2));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const std::uint64_t buffers = tr::stats().buffers;
  auto read_into = [&](int i, std::function<void()> on_done) {
    return tr::start(fbo, 0, 0, 0, SIDE, SIDE, 4, &dst[std::size_t(i) * FLOATS], nullptr, 0,
                     std::move(on_done));
  };
  const std::uint64_t first = read_into(0, [released] { released.wait(); });
  ASSERT_NE(first, 0u);
  tr::wait(first);  // its slot is free again; the completion thread waits in its callback
  std::atomic<int> returned{0};
  int returned_at_release = -1;
  std::thread releaser([&] {  // once `slots` starts returned (or 10 s passed), give one more
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (returned < slots && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    returned_at_release = returned.load();
    release.set_value();
  });
  for (int i = 1; i <= slots + 1; ++i) {
    EXPECT_NE(read_into(i, nullptr), 0u);
    ++returned;
  }
  releaser.join();
  tr::wait_all();
  EXPECT_EQ(returned_at_release, slots) << "readbacks started before one more blocked";
  EXPECT_EQ(tr::stats().buffers - buffers, std::uint64_t(slots));
}

}  // namespace qn_test
