// The readback transport on real GL (llvmpipe): bytes, ordering, ring, lifecycle, bad input.
// The transport is process-wide: the tests run in order, the ring probes before anything grows
// the ring.
#include "quarn/transport/transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <filesystem>
#include <random>

#include "support/gl_fixture.h"
#include "support/readback.h"
#include "transport/readback_plan.h"

namespace tr = qn::transport;
using qn::transport::detail::MIB;
using qn_test::pattern_rect;

namespace {

constexpr int W = 1021, H = 1031;  // odd, and 16.8 MB as RGBA: four bands

const qn_test::FloatTarget& source() {
  static const auto* target = [] {
    auto* t = new qn_test::FloatTarget(W, H, 1);
    t->fill_pattern(0);
    return t;
  }();
  return *target;
}

int thread_count() {
  namespace fs = std::filesystem;
  return int(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

class TransportLifecycle : public qn_test::GlTest {};

class Transport : public qn_test::GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    std::string err;
    ASSERT_TRUE(tr::init(&err)) << err;
  }
};

}  // namespace

TEST(ReadbackPlan, FullHdRgbaIsSevenBandsOfFiveCopyTasks) {
  qn::transport::detail::ReadbackPlan plan;
  ASSERT_TRUE(qn::transport::detail::plan_readback(0, 1920, 1080, 4, &plan));
  EXPECT_EQ(plan.bytes, 33'177'600u);
  EXPECT_EQ(plan.buffer_bytes, 33'554'432u);
  EXPECT_EQ(plan.bands, 7);
  EXPECT_EQ(plan.rows_per_band, 155);
  std::vector<std::vector<std::uint64_t>> tasks;  // per band, as `start` cuts the rows
  for (int first = 0; first < 1080; first += plan.rows_per_band) {
    auto& band = tasks.emplace_back();
    const int rows = std::min(plan.rows_per_band, 1080 - first);
    qn::transport::detail::split_copy(std::uint64_t(rows) * plan.row_bytes, [&](auto k, auto n) {
      EXPECT_EQ(k, band.size() * MIB);
      band.push_back(n);
    });
  }
  ASSERT_EQ(tasks.size(), 7u);
  for (int i = 0; i < 6; ++i)
    EXPECT_THAT(tasks[i], testing::ElementsAre(MIB, MIB, MIB, MIB, 567'296));
  EXPECT_THAT(tasks[6], testing::ElementsAre(MIB, MIB, MIB, MIB, 413'696));

  const struct {
    int y, width, height, channels;
    int bands;  // 0: refused
  } cases[] = {
      {0, 1024, 255, 4, 1},               // just under 4 MiB
      {0, 1024, 256, 4, 1},               // 4 MiB
      {0, 1024, 2048, 2, 4},              // 16 MiB
      {0, 8192, 8192, 4, 8},              // 1 GiB: capped
      {INT_MAX, 1, 1, 2, 1},              // the last row GL can name
      {INT_MAX, 1, 2, 2, 0},              // y + 1 passes INT_MAX
      {0, INT_MAX, INT_MAX, 4, 0},        // bytes past 64 bits
      {0, 1 << 30, (1 << 29) + 1, 4, 0},  // 2^63 + 2^34 bytes: no signed GL buffer size
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.y << " " << c.width << "x" << c.height);
    qn::transport::detail::ReadbackPlan p;
    EXPECT_EQ(qn::transport::detail::plan_readback(c.y, c.width, c.height, c.channels, &p),
              c.bands > 0);
    if (c.bands > 0) {
      EXPECT_EQ(p.bands, c.bands);
    }
  }
}

TEST_F(TransportLifecycle, FirstInitStartsOneCompletionThreadAndFourCopyWorkersForGood) {
  const int before = thread_count();
  std::string err;
  ASSERT_TRUE(tr::init(&err)) << err;
  EXPECT_TRUE(tr::ready());
  const int running = thread_count();
  EXPECT_EQ(running - before, 5);
  for (int cycle = 0; cycle < 3; ++cycle) {
    tr::close();
    EXPECT_FALSE(tr::ready());
    EXPECT_EQ(thread_count(), running - 1);  // the completion thread is gone, the pool stays
    ASSERT_TRUE(tr::init(&err)) << err;
    ASSERT_TRUE(tr::init(&err)) << err;  // already ready
    EXPECT_EQ(thread_count(), running);
  }
}

TEST_F(Transport, RingHoldsThreeByDefaultNeverShrinksAndStopsAtEight) {
  tr::close();  // no buffers, so each probe counts its own
  ASSERT_TRUE(tr::init(nullptr));
  qn_test::expect_ring_of(3, source().fbo());
  tr::set_ring_size(2);
  tr::close();
  ASSERT_TRUE(tr::init(nullptr));
  qn_test::expect_ring_of(3, source().fbo());
  tr::set_ring_size(20);
  tr::close();
  ASSERT_TRUE(tr::init(nullptr));
  qn_test::expect_ring_of(8, source().fbo());
}

// Every shape through one path: the bytes, a guard past them, and a second thread that sees
// them as soon as it sees the stamp.
TEST_F(Transport, BytesEqualWhatWasRendered) {
  const struct {
    int x, y, w, h, channels;
  } cases[] = {
      {0, 0, 1, 1, 4},         {0, 0, 1, 1, 2}, {3, 5, 17, 13, 2}, {101, 7, 333, 29, 4},
      {0, H - 1, W, 1, 4},     {7, 0, 5, H, 2}, {0, 0, W, H, 4},  // 16.8 MB, four bands
      {1, 1, W - 1, H - 1, 2},                                    // 8.4 MB, two bands
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.x << "," << c.y << " " << c.w << "x" << c.h << "x" << c.channels);
    const std::vector<float> expected = pattern_rect(W, c.x, c.y, c.w, c.h, c.channels);
    std::vector<float> dst(expected.size() + 64, -1.0f);
    std::uint32_t stamp = 0;
    std::promise<void> called;
    std::thread stamp_reader([&] {
      while (std::atomic_ref<std::uint32_t>(stamp).load(std::memory_order_acquire) != 77) {
      }
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dst.begin()));
    });
    const std::uint64_t ticket = tr::start(source().fbo(), 0, c.x, c.y, c.w, c.h, c.channels,
                                           dst.data(), &stamp, 77, [&] { called.set_value(); });
    ASSERT_NE(ticket, 0u);
    stamp_reader.join();
    called.get_future().wait();
    EXPECT_TRUE(tr::done(ticket));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dst.begin()));
    EXPECT_EQ(std::count(dst.begin() + std::ptrdiff_t(expected.size()), dst.end(), -1.0f), 64);
  }
}

TEST_F(Transport, StartRefusesBadInputAndUnissuedTicketsAreDone) {
  float dst[8] = {};
  const struct {
    int y, w, h, channels;
    bool null_dst;
  } refused[] = {{0, 0, 1, 4, false},
                 {0, 1, -1, 4, false},
                 {0, 1, 1, 3, false},
                 {0, 1, 1, 2, true},
                 {0, INT_MAX, INT_MAX, 4, false},
                 {0, 1 << 30, (1 << 29) + 1, 4, false},
                 {INT_MAX, 1, 2, 4, false}};
  const tr::TransportStats before = tr::stats();
  for (const auto& r : refused)
    EXPECT_EQ(tr::start(source().fbo(), 0, 0, r.y, r.w, r.h, r.channels, r.null_dst ? nullptr : dst,
                        nullptr, 0, nullptr),
              0u);
  EXPECT_EQ(tr::pending(), 0);
  EXPECT_EQ(tr::stats().buffers, before.buffers);
  EXPECT_EQ(tr::stats().completed, before.completed);

  const std::uint64_t ticket =
      tr::start(source().fbo(), 0, 2, 3, 1, 1, 2, dst, nullptr, 0, nullptr);
  ASSERT_NE(ticket, 0u);
  tr::wait(ticket);
  EXPECT_THAT(std::vector<float>(dst, dst + 2),
              testing::ElementsAre((3 * W + 2) * 4, (3 * W + 2) * 4 + 1));
  EXPECT_TRUE(tr::done(0));
  EXPECT_TRUE(tr::done(ticket + 1));
  tr::wait(ticket + 1000);  // never issued: returns at once
  EXPECT_EQ(tr::stats().completed, before.completed + 1);
}

TEST_F(Transport, ThrowingCallbackIsDiscardedAndLaterTicketsComplete) {
  std::vector<float> dst(64);
  std::promise<void> later;
  const std::uint64_t first = tr::start(source().fbo(), 0, 0, 0, 4, 4, 4, dst.data(), nullptr, 0,
                                        [] { throw std::runtime_error("host callback fails"); });
  const std::uint64_t second = tr::start(source().fbo(), 0, 0, 0, 4, 4, 4, dst.data(), nullptr, 0,
                                         [&] { later.set_value(); });
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  later.get_future().wait();
  EXPECT_TRUE(tr::done(first));
  EXPECT_EQ(tr::pending(), 0);
}

TEST_F(Transport, CloseReturnsAfterEveryReadbackAndItsCallback) {
  constexpr int N = 5;
  std::vector<float> dst(std::size_t(N) * 32 * 32 * 4);
  std::atomic<int> callbacks{0};
  for (int i = 0; i < N; ++i)
    ASSERT_NE(tr::start(source().fbo(), 0, i, 0, 32, 32, 4, &dst[std::size_t(i) * 32 * 32 * 4],
                        nullptr, 0,
                        [&] {
                          std::this_thread::sleep_for(std::chrono::milliseconds(20));
                          ++callbacks;
                        }),
              0u);
  tr::close();
  EXPECT_EQ(callbacks.load(), N);
  EXPECT_FALSE(tr::ready());
  EXPECT_EQ(tr::pending(), 0);
  EXPECT_EQ(tr::start(source().fbo(), 0, 0, 0, 1, 1, 4, dst.data(), nullptr, 0, nullptr), 0u);
  tr::close();  // not ready: nothing to do
}

// 1,000 readbacks of random rectangles and ring sizes from the GL thread while one thread polls
// `done` and another blocks in `wait` and `wait_all`. Checks every byte, that tickets are
// consecutive and complete in order, and that the stamp is in place before `done` turns true,
// which happens before `on_done` runs.
TEST_F(Transport, StressRandomReadbacksCompleteInOrderWithEveryByte) {
  constexpr int N = 1000, WINDOW = 12;
  std::mt19937 rng(1206);
  std::vector<std::uint32_t> stamps(N + 1, 0);
  auto stamp_of = [&](std::uint64_t i) {
    return std::atomic_ref<std::uint32_t>(stamps[i]).load(std::memory_order_acquire);
  };
  auto value_of = [](std::uint64_t i) { return std::uint32_t(i * 7 + 1); };
  std::uint64_t base;  // ticket of readback i is base + i
  {
    float one[4];
    base = tr::start(source().fbo(), 0, 0, 0, 1, 1, 4, one, nullptr, 0, nullptr);
    tr::wait(base);
  }
  std::atomic<std::uint64_t> issued{0}, last_callback{0};
  std::atomic<bool> finished{false};

  auto poller = std::thread([&] {
    std::mt19937 r(1);
    while (!finished) {
      const std::uint64_t hi = issued, i = 1 + r() % (hi + 2);
      const int p = tr::pending();
      EXPECT_TRUE(p >= 0 && p <= 8) << p;
      if (i > hi || !tr::done(base + i)) continue;
      EXPECT_EQ(stamp_of(i), value_of(i));
      EXPECT_TRUE(tr::done(base + i - 1));
    }
  });
  auto waiter = std::thread([&] {
    std::mt19937 r(2);
    while (!finished) {
      const std::uint64_t hi = issued;
      if (hi == 0) continue;
      if (r() % 8 == 0) {
        tr::wait_all();
        EXPECT_TRUE(tr::done(base + hi));
      } else {
        const std::uint64_t t = 1 + r() % hi;
        tr::wait(base + t);
        EXPECT_TRUE(tr::done(base + t));
        EXPECT_EQ(stamp_of(t), value_of(t));
      }
    }
  });

  struct Outstanding {
    std::uint64_t ticket;
    std::vector<float> expected, dst;
  };
  std::deque<Outstanding> window;
  auto check_oldest = [&] {
    Outstanding& o = window.front();
    tr::wait(o.ticket);
    EXPECT_TRUE(std::equal(o.expected.begin(), o.expected.end(), o.dst.begin())) << o.ticket;
    EXPECT_EQ(o.dst.back(), -1.0f);  // the guard past the image
    window.pop_front();
  };
  for (std::uint64_t i = 1; i <= N; ++i) {
    if (i % 40 == 0) tr::set_ring_size(int(rng() % 10));
    const bool large = rng() % 12 == 0;
    const int w = 1 + int(rng() % (large ? W : 48)), h = 1 + int(rng() % (large ? H : 48));
    const int x = int(rng() % std::uint32_t(W - w + 1)), y = int(rng() % std::uint32_t(H - h + 1));
    const int channels = rng() % 2 ? 4 : 2;
    Outstanding o{0, pattern_rect(W, x, y, w, h, channels), {}};
    o.dst.assign(o.expected.size() + 1, -1.0f);
    o.ticket = tr::start(source().fbo(), 0, x, y, w, h, channels, o.dst.data(), &stamps[i],
                         value_of(i), [&, i] {
                           EXPECT_TRUE(tr::done(base + i));
                           EXPECT_EQ(stamp_of(i), value_of(i));
                           EXPECT_EQ(last_callback.exchange(i), i - 1);
                         });
    ASSERT_EQ(o.ticket, base + i);
    issued = i;
    window.push_back(std::move(o));
    if (window.size() == WINDOW) check_oldest();
  }
  finished = true;
  poller.join();
  waiter.join();
  while (!window.empty()) check_oldest();
  EXPECT_EQ(tr::pending(), 0);
  tr::close();
  EXPECT_EQ(last_callback.load(), std::uint64_t(N));
}
