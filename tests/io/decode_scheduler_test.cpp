#include "quarn/io/decode_scheduler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/decode_files.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using qn::io::DecodeScheduler;

// Polls `done` until it holds or 20 s pass (a hang shows as a failure, not a stuck suite).
bool eventually(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A named pipe that holds back every reader: a decode of it blocks inside the open until
// `release`, then fails as an unopenable file (state 4).
class Gate {
 public:
  explicit Gate(std::string path) : path_(std::move(path)) {
    if (mkfifo(path_.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path_;
    fd_ = ::open(path_.c_str(), O_RDWR);  // both ends held: readers wait for bytes
  }
  ~Gate() { release(); }
  const std::string& path() const { return path_; }
  void release() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());  // later opens find nothing
    ::close(fd_);             // waiting readers see the end of the file
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// A take on a thread of its own, to see whether it has returned and what it gave.
std::future<std::shared_ptr<qn::io::DecodeResult>> take_async(DecodeScheduler& s, long id,
                                                              double seconds) {
  return std::async(std::launch::async, [&s, id, seconds] { return s.take(id, seconds); });
}

class Scheduler : public ::testing::Test {
 protected:
  qn_test::TempDir dir;
  std::string good = qn_test::write_pattern(dir.file("good.exr"),
                                            qn_test::named_spec(16, 8, OIIO::TypeDesc::HALF));
  std::vector<std::unique_ptr<Gate>> gates;

  Gate& gate() {
    gates.push_back(
        std::make_unique<Gate>(dir.file("gate" + std::to_string(gates.size()) + ".exr")));
    return *gates.back();
  }
  // Submits a job on gate `g` and waits until a worker holds it.
  static long submit_held(DecodeScheduler& s, const Gate& g, int priority) {
    const long id = s.submit(g.path(), priority);
    EXPECT_TRUE(eventually([&] { return s.state(id) == 1; })) << g.path();
    return id;
  }
};

// Ids count from 1; 5, 2, 2, 9 queued behind a busy worker run as 2 (the earlier), 2, 5, 9,
// one at a time.
TEST_F(Scheduler, GeneralLanePicksSmallestPriorityThenEarliest) {
  Gate& blocker = gate();
  DecodeScheduler s(1, 0, 1);
  EXPECT_EQ(submit_held(s, blocker, 0), 1);
  const int priorities[] = {5, 2, 2, 9};
  std::vector<Gate*> g;
  std::vector<long> id;
  for (int p : priorities) {
    g.push_back(&gate());
    id.push_back(s.submit(g.back()->path(), p));
    EXPECT_EQ(id.back(), long(id.size()) + 1);
  }
  EXPECT_EQ(s.queued(), 4);
  blocker.release();
  for (int expected : {1, 2, 0, 3}) {
    ASSERT_TRUE(eventually([&] { return s.state(id[expected]) == 1; })) << expected;
    EXPECT_EQ(s.running(), 1);
    g[expected]->release();
    auto r = s.take(id[expected], -1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, 4);
  }
}

// The urgent worker takes only priority 0 (negative counts as 0), also a job raised to 0 while
// queued; zero workers of each kind still gives one general worker.
TEST_F(Scheduler, UrgentLaneTakesOnlyPriorityZero) {
  Gate &busy = gate(), &urgent = gate();
  DecodeScheduler s(1, 1, 1);
  const long b = submit_held(s, busy, 4);
  const long one = s.submit(good, 1);
  const long zero = s.submit(urgent.path(), -3);
  ASSERT_TRUE(eventually([&] { return s.state(zero) == 1; }));
  EXPECT_EQ(s.running(), 2);
  urgent.release();
  ASSERT_TRUE(s.take(zero, -1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(s.state(one), 0) << "the urgent worker is idle but priority 1 is not its lane";
  s.reprioritize(one, 0);
  auto r = s.take(one, -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 2);
  EXPECT_EQ(r->width, 16);
  EXPECT_TRUE(r->pixels && r->spec);
  EXPECT_EQ(s.state(b), 1);
  busy.release();

  Gate& held = gate();
  DecodeScheduler minimal(0, 0, 0);
  submit_held(minimal, held, 0);
  const long second = minimal.submit(good, 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(minimal.state(second), 0) << "no urgent-lane worker exists";
  held.release();
  ASSERT_TRUE(minimal.take(second, -1));
}

TEST_F(Scheduler, TakeReturnsFinishedResultOnceAndForgetsTheJob) {
  Gate& g = gate();
  DecodeScheduler s(1, 0, 1);
  const long id = submit_held(s, g, 1);
  EXPECT_FALSE(s.take(id, 0.0)) << "still running";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.take(id, 0.25));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(s.state(id), 1) << "an early take leaves the job where it is";
  g.release();
  ASSERT_TRUE(eventually([&] { return s.state(id) == 4; }));
  auto r = s.take(id, 0.0);
  ASSERT_TRUE(r);
  EXPECT_NE(r->error, "");
  EXPECT_EQ(s.state(id), -1);
  EXPECT_FALSE(s.take(id, 0.0));
  EXPECT_FALSE(s.take(999, -1)) << "unknown ids return at once, even without a limit";
  EXPECT_FALSE(s.cancel(999));
  s.reprioritize(999, 0);
  EXPECT_EQ(s.state(999), -1) << "reprioritizing an unknown id adds no job";
}

// A huge, infinite or NaN limit is no limit: the deadline arithmetic must not wrap into the past.
TEST_F(Scheduler, TakeWithHugeInfiniteOrNanLimitWaitsForTheResult) {
  DecodeScheduler s(1, 0, 1);
  for (double limit : {std::numeric_limits<double>::infinity(), std::nan(""), 1e300, 9.3e9,
                       std::numeric_limits<double>::max(), -1.0}) {
    Gate& g = gate();
    auto taker = take_async(s, s.submit(g.path(), 1), limit);
    EXPECT_EQ(taker.wait_for(50ms), std::future_status::timeout) << limit;
    g.release();
    auto r = taker.get();
    ASSERT_TRUE(r) << limit;
    EXPECT_EQ(r->state, 4);
  }
}

// cancel and clear forget jobs at once, queued, running or finished (a running decode still
// ends, its result thrown away), and wake a take waiting without limit on them.
TEST_F(Scheduler, CancelAndClearForgetJobsAndWakeTakers) {
  Gate& busy = gate();
  DecodeScheduler s(1, 0, 1);
  const long done = s.submit(good, 0);
  ASSERT_TRUE(eventually([&] { return s.state(done) == 2; }));
  const long b = submit_held(s, busy, 0);
  for (bool use_clear : {false, true}) {
    const long queued = s.submit(good, 5);
    auto taker = take_async(s, queued, -1);
    EXPECT_EQ(taker.wait_for(30ms), std::future_status::timeout);
    if (use_clear)
      s.clear();
    else
      EXPECT_TRUE(s.cancel(queued));
    EXPECT_FALSE(s.cancel(queued));
    // Without a signal the taker would sleep until the busy job ends.
    if (taker.wait_for(20s) != std::future_status::ready) {
      ADD_FAILURE() << "a waiting take was not woken; clear " << use_clear;
      busy.release();
    }
    EXPECT_FALSE(taker.get());
  }
  for (long id : {done, b}) EXPECT_EQ(s.state(id), -1);
  EXPECT_EQ(s.queued(), 0);
  EXPECT_EQ(s.running(), 1) << "the decode runs to its end";
  busy.release();
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
  EXPECT_FALSE(s.take(b, 0.0));

  Gate& g = gate();
  const long running = submit_held(s, g, 1);
  EXPECT_TRUE(s.cancel(running));
  EXPECT_EQ(s.state(running), -1);
  g.release();
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
  EXPECT_FALSE(s.take(running, 0.0));
}

// A decode that throws finishes its job as state 3 naming the exception; the worker lives on.
TEST_F(Scheduler, DecodeThatThrowsFinishesAsStateThreeAndTheWorkerSurvives) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  const auto huge = qn_test::write_exr_header_only(dir.file("huge.exr"), 1 << 22, 1 << 16);
  DecodeScheduler s(1, 0, 1);
  auto r = s.take(s.submit(huge, 0), -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 3);
  EXPECT_EQ(r->error, "decode raised std::bad_alloc");
  EXPECT_FALSE(r->pixels);
  auto next = s.take(s.submit(good, 0), -1);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->state, 2);
}

// Destruction drops the queue, lets the running decode finish, and waits for the threads
// blocked in take (they return empty) to leave before the lock they sleep on goes away.
TEST_F(Scheduler, DestructorWaitsForRunningDecodesAndThreadsInsideTake) {
  Gate& g = gate();
  auto s = std::make_unique<DecodeScheduler>(1, 1, 1);
  submit_held(*s, g, 1);                   // priority 1: only the general worker takes it
  const long queued = s->submit(good, 1);  // never starts: the general worker is held
  for (int i = 0; i < 4; ++i) s->submit(good, 3);
  std::vector<std::future<std::shared_ptr<qn::io::DecodeResult>>> takers;
  for (int i = 0; i < 4; ++i) takers.push_back(take_async(*s, queued, -1));
  std::this_thread::sleep_for(30ms);
  auto releaser = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(50ms);
    g.release();
  });
  s.reset();  // blocks until the gated decode ends
  for (auto& t : takers) EXPECT_FALSE(t.get());
}

// Several host threads submit, reprioritise, cancel and take thousands of jobs over good and
// damaged files. Every job that was not cancelled is taken exactly once, finished; nothing is
// left queued or running.
TEST_F(Scheduler, StressManyHostThreads) {
  std::vector<std::string> files = {
      good,
      qn_test::write_pattern(dir.file("f.exr"), qn_test::named_spec(9, 7, OIIO::TypeDesc::FLOAT)),
      dir.file("absent.exr")};
  const auto root = qn_test::openexr_images();
  if (!root.empty())
    for (const char* name :
         {"NULL_pointer", "asan_heap-oob_4cb169_255_cc7ac9cde4b8634b31cb41c8fe89b92d_exr",
          "asan_heap-oob_7f6a78657cbf_916_10cc35387b54fdc7744f91b5bb424009_exr",
          "clusterfuzz-testcase-minimized-openexr_exrenvmap_fuzzer-5762859548803072"})
      files.push_back((root / "Damaged" / name).string());

  DecodeScheduler s(2, 1, 1);
  constexpr int kThreads = 4, kJobs = 500;
  std::atomic<int> taken{0}, cancelled{0};
  std::mutex seen_mutex;
  std::set<long> seen;
  auto took = [&](long id, const std::shared_ptr<qn::io::DecodeResult>& r) {
    EXPECT_TRUE(r->state >= 2 && r->state <= 4) << r->state;
    ++taken;
    std::lock_guard<std::mutex> lock(seen_mutex);
    EXPECT_TRUE(seen.insert(id).second) << "taken twice";
  };
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t)
    hosts.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<long> mine;
      for (int j = 0; j < kJobs; ++j) {
        mine.push_back(s.submit(files[rng() % files.size()], static_cast<int>(rng() % 6) - 1));
        const long other = mine[rng() % mine.size()];
        switch (rng() % 8) {
          case 0:
            s.reprioritize(other, static_cast<int>(rng() % 4));
            break;
          case 1:
            if (s.cancel(other)) ++cancelled;
            break;
          case 2:
            if (auto r = s.take(other, 0.001)) took(other, r);
            break;
          default:
            (void)s.state(other);
        }
      }
      for (long id : mine)
        if (auto r = s.take(id, -1)) took(id, r);
    });
  for (auto& h : hosts) h.join();
  EXPECT_EQ(taken + cancelled, kThreads * kJobs);
  EXPECT_EQ(s.queued(), 0);
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
}

}  // namespace
