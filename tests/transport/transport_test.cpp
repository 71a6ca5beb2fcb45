// The readback transport on real GL (llvmpipe). The transport is process-wide: the tests run in
// order, and the first one holds the process's first `init`.
#include "quarn/transport/transport.h"

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <filesystem>
#include <random>

#include "support/gl_fixture.h"
#include "transport/readback.h"
#include "transport/readback_plan.h"

namespace tr = qn::transport;
namespace detail = qn::transport::detail;
using detail::MIB;
using qn_test::pattern_rect;

namespace {

constexpr int W = 2049, H = 1031;  // odd, and 33.8 MB as RGBA: eight bands

std::uint32_t source() {
  static const auto* target = [] {
    auto* t = new qn_test::FloatTarget(W, H, 1);
    t->fill_pattern(0);
    return t;
  }();
  return target->fbo();
}

int threads() {
  namespace fs = std::filesystem;
  return int(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

using Transport = qn_test::GlTest;

}  // namespace

TEST(ReadbackPlan, FullHdRgbaIsSevenBandsOfFiveCopyTasks) {
  detail::ReadbackPlan plan;
  ASSERT_TRUE(detail::plan_readback(0, 1920, 1080, 4, &plan));
  EXPECT_EQ(plan.buffer_bytes, 32 * MIB);
  EXPECT_EQ(plan.bands, 7);
  std::vector<std::uint64_t> tasks;  // copy tasks of every band, as `start` cuts the rows
  for (int first = 0; first < 1080; first += plan.rows_per_band)
    detail::split_copy(std::uint64_t(std::min(plan.rows_per_band, 1080 - first)) * plan.row_bytes,
                       [&, begin = tasks.size()](std::uint64_t k, std::uint64_t n) {
                         EXPECT_EQ(k, (tasks.size() - begin) * MIB);
                         tasks.push_back(n);
                       });
  std::vector<std::uint64_t> expected;
  for (int band = 0; band < 7; ++band)
    expected.insert(expected.end(), {MIB, MIB, MIB, MIB, band < 6 ? 567'296u : 413'696u});
  EXPECT_EQ(tasks, expected);
  ASSERT_TRUE(detail::plan_readback(0, 1024, 255, 4, &plan));  // just under 4 MiB
  EXPECT_EQ(plan.bands, 1);
  ASSERT_TRUE(detail::plan_readback(0, 8192, 8192, 4, &plan));  // 1 GiB
  EXPECT_EQ(plan.bands, 8);
}

// Three init/close cycles: the first starts a completion thread and four copy workers, `close`
// ends only the completion thread; the ring holds 3 slots, keeps 3 after `set_ring_size(2)`
// and grows to 8 for `set_ring_size(20)`.
TEST_F(Transport, CyclesKeepFourCopyWorkersAndTheRingNeverShrinks) {
  source();
  const int before = threads();
  for (auto [set, slots] : {std::pair{0, 3}, {2, 3}, {20, 8}}) {
    if (set) tr::set_ring_size(set);
    std::string err;
    ASSERT_TRUE(tr::init(&err)) << err;
    ASSERT_TRUE(tr::ready());
    EXPECT_EQ(threads() - before, 5);
    qn_test::expect_ring_of(slots, source());
    tr::close();
    EXPECT_FALSE(tr::ready());
    EXPECT_EQ(threads() - before, 4);
  }
  ASSERT_TRUE(tr::init(nullptr));
}

// Each shape: the bytes, a guard past them, and a second thread that sees the bytes as soon as
// it sees the stamp.
TEST_F(Transport, BytesEqualWhatWasRendered) {
  const struct {
    int x, y, w, h, channels;
  } cases[] = {
      {0, 0, 1, 1, 4},         {3, 5, 17, 13, 2}, {101, 7, 333, 29, 4},
      {0, H - 1, W, 1, 4},     {7, 0, 5, H, 2},   {0, 0, W, H, 4},
      {1, 1, W - 1, H - 1, 2}, {0, 0, W, 1024, 4}};  // eight bands of 128 rows, none left over
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h);
    const std::vector<float> expected = pattern_rect(W, c.x, c.y, c.w, c.h, c.channels);
    std::vector<float> dst(expected.size() + 64, -1.0f);
    std::uint32_t stamp = 0;
    std::thread stamp_reader([&] {
      while (std::atomic_ref<std::uint32_t>(stamp).load(std::memory_order_acquire) != 77) {
      }
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dst.begin()));
    });
    const std::uint64_t ticket =
        tr::start(source(), 0, c.x, c.y, c.w, c.h, c.channels, dst.data(), &stamp, 77, nullptr);
    ASSERT_NE(ticket, 0u);
    stamp_reader.join();
    tr::wait(ticket);
    EXPECT_EQ(std::count(dst.begin() + std::ptrdiff_t(expected.size()), dst.end(), -1.0f), 64);
  }
}

TEST_F(Transport, StartRefusesBadInputAndUnissuedTicketsAreDone) {
  float dst[8] = {};
  const struct {
    int y, w, h, channels;
  } refused[] = {{0, 0, 1, 4},
                 {0, 1, -1, 4},
                 {0, 1, 1, 3},
                 {0, INT_MAX, INT_MAX, 4},        // bytes past 64 bits
                 {0, 1 << 30, (1 << 29) + 1, 4},  // 2^63 + 2^34 bytes: no signed GL size
                 {INT_MAX, 1, 2, 4}};             // the second row's y passes INT_MAX
  const tr::TransportStats before = tr::stats();
  for (const auto& r : refused)
    EXPECT_EQ(tr::start(source(), 0, 0, r.y, r.w, r.h, r.channels, dst, nullptr, 0, nullptr), 0u);
  EXPECT_EQ(tr::start(source(), 0, 0, 0, 1, 1, 4, nullptr, nullptr, 0, nullptr), 0u);
  EXPECT_EQ(tr::pending(), 0);
  EXPECT_EQ(tr::stats().buffers, before.buffers);

  const std::uint64_t ticket = tr::start(source(), 0, 2, 3, 1, 1, 2, dst, nullptr, 0, nullptr);
  ASSERT_NE(ticket, 0u);
  tr::wait(ticket);
  EXPECT_EQ(std::vector<float>(dst, dst + 2), pattern_rect(W, 2, 3, 1, 1, 2));
  EXPECT_TRUE(tr::done(0));
  EXPECT_TRUE(tr::done(ticket + 1));
  tr::wait(ticket + 1000);  // never issued: returns at once
  EXPECT_EQ(tr::stats().completed, before.completed + 1);
}

// 1,000 readbacks of random rectangles and ring sizes from the GL thread while one thread polls
// `done` and another blocks in `wait` and `wait_all`; every 50th callback throws. Checks every
// byte, that tickets are consecutive and complete in order, that the stamp is in place before
// `done` turns true, which happens before `on_done` runs, and that `close` with readbacks in
// flight returns after the last callback.
TEST_F(Transport, StressRandomReadbacksCompleteInOrderWithEveryByte) {
  constexpr std::uint64_t N = 1000;
  std::mt19937 rng(1206);
  std::vector<std::uint32_t> stamps(N + 1, 0);
  auto stamp_of = [&](std::uint64_t i) {
    return std::atomic_ref<std::uint32_t>(stamps[i]).load(std::memory_order_acquire);
  };
  auto value_of = [](std::uint64_t i) { return std::uint32_t(i * 7 + 1); };
  float one[4];
  const std::uint64_t base = tr::start(source(), 0, 0, 0, 1, 1, 4, one, nullptr, 0, nullptr);
  tr::wait(base);  // readback i gets ticket base + i
  std::atomic<std::uint64_t> issued{0}, last_callback{0};
  std::atomic<bool> finished{false};

  std::thread poller([&] {
    for (std::mt19937 r(1); !finished;) {
      const std::uint64_t hi = issued, i = 1 + r() % (hi + 2);
      EXPECT_LE(tr::pending(), 8);
      if (i > hi || !tr::done(base + i)) continue;
      EXPECT_EQ(stamp_of(i), value_of(i));
      EXPECT_TRUE(tr::done(base + i - 1));
    }
  });
  std::thread waiter([&] {
    for (std::mt19937 r(2); !finished;) {
      const std::uint64_t hi = issued, i = hi ? 1 + r() % hi : 0;
      if (r() % 8 == 0) tr::wait_all();
      tr::wait(base + i);
      EXPECT_TRUE(tr::done(base + i));
      EXPECT_EQ(stamp_of(i), i ? value_of(i) : 0u);  // stamp 0 is never written
    }
  });

  struct Readback {
    std::vector<float> expected, dst;
  };
  std::deque<Readback> window;  // the last 12, checked once the next is started
  auto check_oldest = [&] {
    const Readback& o = window.front();
    EXPECT_TRUE(std::equal(o.expected.begin(), o.expected.end(), o.dst.begin()));
    EXPECT_EQ(o.dst.back(), -1.0f);  // the guard past the image
    window.pop_front();
  };
  for (std::uint64_t i = 1; i <= N; ++i) {
    if (i % 40 == 0) tr::set_ring_size(int(rng() % 10));
    const bool large = rng() % 16 == 0;
    const int w = 1 + int(rng() % (large ? 1024 : 48)), h = 1 + int(rng() % (large ? H : 48));
    const int x = int(rng() % std::uint32_t(W - w + 1)), y = int(rng() % std::uint32_t(H - h + 1));
    const int channels = rng() % 2 ? 4 : 2;
    Readback& o = window.emplace_back(Readback{pattern_rect(W, x, y, w, h, channels), {}});
    o.dst.assign(o.expected.size() + 1, -1.0f);
    const std::uint64_t ticket =
        tr::start(source(), 0, x, y, w, h, channels, o.dst.data(), &stamps[i], value_of(i), [&, i] {
          EXPECT_TRUE(tr::done(base + i));
          EXPECT_EQ(stamp_of(i), value_of(i));
          EXPECT_EQ(last_callback.exchange(i), i - 1);
          if (i % 50 == 0) throw std::runtime_error("a failing host callback");
        });
    ASSERT_EQ(ticket, base + i);
    issued = i;
    if (window.size() > 12) {
      tr::wait(ticket - 12);
      check_oldest();
    }
  }
  finished = true;
  poller.join();
  waiter.join();
  tr::close();
  EXPECT_EQ(last_callback.load(), N);
  EXPECT_EQ(tr::pending(), 0);
  while (!window.empty()) check_oldest();
  EXPECT_EQ(tr::start(source(), 0, 0, 0, 1, 1, 4, one, nullptr, 0, nullptr), 0u);
}
