// tests/transport/readback.h — what the transport suites share: the floats a readback of a
// patterned FloatTarget gives, and a probe of how many ring slots the transport has.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "quarn/transport/transport.h"

namespace qn_test {

/// (x, y, w, h) with `channels` of a `fill_pattern`ed FloatTarget `width` wide, rows bottom-up.
inline std::vector<float> pattern_rect(int width, int x, int y, int w, int h, int channels) {
  std::vector<float> out;
  for (long r = y; r < y + h; ++r)
    for (long c = x; c < x + w; ++c)
      for (int k = 0; k < channels; ++k) out.push_back(float((r * width + c) * 4 + k));
  return out;
}

/// For a transport with `slots` ring slots and no buffers yet: holds the completion thread in
/// the callback of a first readback, then starts `slots` more, which must all find a slot, and
/// one beyond, which must block until the callback is released. Each slot makes one buffer.
inline void expect_ring_of(int slots, std::uint32_t fbo) {
  namespace tr = qn::transport;
  std::vector<float> dst(std::size_t(slots + 2) * 64 * 4);  // an 8 × 8 RGBA image each
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const std::uint64_t buffers = tr::stats().buffers;
  auto read = [&](int i, std::function<void()> on_done) {
    return tr::start(fbo, 0, 0, 0, 8, 8, 4, &dst[std::size_t(i) * 256], nullptr, 0, on_done);
  };
  tr::wait(read(0, [released] { released.wait(); }));  // its slot is free again
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
  for (int i = 1; i <= slots + 1; ++i, ++returned) EXPECT_NE(read(i, nullptr), 0u);
  releaser.join();
  tr::wait_all();
  EXPECT_EQ(returned_at_release, slots) << "readbacks started before one more blocked";
  EXPECT_EQ(tr::stats().buffers - buffers, std::uint64_t(slots));
}

}  // namespace qn_test
