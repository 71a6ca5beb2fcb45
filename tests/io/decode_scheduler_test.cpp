#include "quarn/io/decode_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
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
using qn_test::Gate;

// Polls `done` until it holds or 20 s pass (a hang shows as a failure, not a stuck suite).
bool eventually(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A take on a thread of its own, to see whether it has returned and what it gave.
class BackgroundTake {
 public:
  BackgroundTake(DecodeScheduler& s, long id, double seconds)
      : thread_([this, &s, id, seconds] {
          result_ = s.take(id, seconds);
          returned_ = true;
        }) {}
  ~BackgroundTake() {
    if (thread_.joinable()) thread_.join();
  }
  bool returned() const { return returned_; }
  // Joins; call once `returned()` holds (or when something else will end the wait).
  std::shared_ptr<qn::io::DecodeResult> result() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }

 private:
  std::atomic<bool> returned_{false};
  std::shared_ptr<qn::io::DecodeResult> result_;
  std::thread thread_;
};

class Scheduler : public ::testing::Test {
 protected:
  qn_test::TempDir dir;
  std::string good = qn_test::write_rgba(dir.file("good.exr"), 16, 8);

  // A gate per name; every job on it stays running until the gate is released.
  std::vector<std::unique_ptr<Gate>> gates;
  Gate& gate(const std::string& name) {
    gates.push_back(std::make_unique<Gate>(dir.file(name)));
    return *gates.back();
  }

  // Submits a job on gate `g` and waits until a worker holds it.
  static long submit_held(DecodeScheduler& s, const Gate& g, int priority) {
    const long id = s.submit(g.path(), priority);
    EXPECT_TRUE(eventually([&] { return s.state(id) == 1; })) << g.path();
    return id;
  }
};

TEST_F(Scheduler, FirstIdIsOneAndIdsAreNeverReused) {
  DecodeScheduler s(1, 0, 1);
  std::set<long> seen;
  for (long want = 1; want <= 5; ++want) {
    const long id = s.submit(good, 3);
    EXPECT_EQ(id, want);
    seen.insert(id);
    if (want == 3) s.cancel(id);
    if (want == 4) s.clear();
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(Scheduler, ZeroWorkersMeansOneGeneralAndNoUrgentLane) {
  Gate& g = gate("g.exr");
  DecodeScheduler s(0, 0, 0);
  submit_held(s, g, 0);
  const long second = s.submit(good, 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(s.state(second), 0) << "no urgent-lane worker exists";
  EXPECT_EQ(s.running(), 1);
  EXPECT_EQ(s.queued(), 1);
  g.release();
  auto r = s.take(second, -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 2);
}

// 5, 2, 2, 9 queued behind a busy worker run as 2 (the earlier), 2, 5, 9.
TEST_F(Scheduler, GeneralLanePicksSmallestPriorityThenEarliest) {
  Gate& blocker = gate("blocker.exr");
  DecodeScheduler s(1, 0, 1);
  submit_held(s, blocker, 0);
  const int priorities[] = {5, 2, 2, 9};
  std::vector<Gate*> g;
  std::vector<long> id;
  for (int i = 0; i < 4; ++i) {
    g.push_back(&gate("job" + std::to_string(i) + ".exr"));
    id.push_back(s.submit(g.back()->path(), priorities[i]));
  }
  EXPECT_EQ(s.queued(), 4);
  blocker.release();
  for (int expected : {1, 2, 0, 3}) {
    ASSERT_TRUE(eventually([&] { return s.state(id[expected]) == 1; })) << expected;
    for (int other = 0; other < 4; ++other) {
      if (other != expected && s.state(id[other]) >= 0 && s.state(id[other]) < 2) {
        EXPECT_EQ(s.state(id[other]), 0) << "only one job runs at a time";
      }
    }
    g[expected]->release();
    auto r = s.take(id[expected], -1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, 4);  // a released gate is a file that cannot be opened
  }
}

TEST_F(Scheduler, UrgentLaneTakesOnlyPriorityZero) {
  Gate& busy = gate("busy.exr");
  Gate& urgent = gate("urgent.exr");
  DecodeScheduler s(1, 1, 1);
  const long b = submit_held(s, busy, 4);
  const long one = s.submit(good, 1);
  const long zero = s.submit(urgent.path(), -3);  // stored as 0
  ASSERT_TRUE(eventually([&] { return s.state(zero) == 1; }));
  EXPECT_EQ(s.state(one), 0);
  EXPECT_EQ(s.running(), 2);
  urgent.release();
  ASSERT_TRUE(s.take(zero, -1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(s.state(one), 0) << "the urgent worker is idle but priority 1 is not its lane";

  // Raised to 0 while queued, the job wakes the urgent worker.
  s.reprioritize(one, 0);
  auto r = s.take(one, -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 2);
  EXPECT_EQ(s.state(b), 1);
  busy.release();
}

TEST_F(Scheduler, TakeReturnsFinishedResultOnceAndForgetsTheJob) {
  Gate& g = gate("g.exr");
  DecodeScheduler s(1, 0, 1);
  const long id = submit_held(s, g, 1);
  EXPECT_FALSE(s.take(id, 0.0)) << "still running";
  EXPECT_EQ(s.state(id), 1) << "an early take leaves the job where it is";

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.take(id, 0.25));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(s.state(id), 1);

  g.release();
  ASSERT_TRUE(eventually([&] { return s.state(id) == 4; }));
  auto r = s.take(id, 0.0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 4);
  EXPECT_NE(r->error, "");
  EXPECT_EQ(s.state(id), -1);
  EXPECT_FALSE(s.take(id, 0.0));
  EXPECT_FALSE(s.take(999, -1)) << "unknown ids return at once, even without a limit";
  EXPECT_EQ(s.state(999), -1);
  EXPECT_FALSE(s.cancel(999));
  s.reprioritize(999, 0);
}

TEST_F(Scheduler, DecodedResultCarriesPixelsAndSpec) {
  DecodeScheduler s(2, 1, 2);
  const long id = s.submit(good, 0);
  auto r = s.take(id, 30.0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 2);
  EXPECT_EQ(r->width, 16);
  EXPECT_EQ(r->height, 8);
  EXPECT_TRUE(r->pixels);
  EXPECT_TRUE(r->spec);
  EXPECT_TRUE(r->has_mtime);
}

// A huge, infinite or NaN limit is no limit: the deadline arithmetic must not wrap into the past.
TEST_F(Scheduler, TakeWithHugeInfiniteOrNanLimitWaitsForTheResult) {
  DecodeScheduler s(1, 0, 1);
  for (double limit : {std::numeric_limits<double>::infinity(), std::nan(""), 1e300, 9.3e9,
                       std::numeric_limits<double>::max(), -1.0}) {
    Gate& g = gate("g" + std::to_string(gates.size()) + ".exr");
    const long id = s.submit(g.path(), 1);
    BackgroundTake taker(s, id, limit);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(taker.returned()) << limit;
    g.release();
    auto r = taker.result();
    ASSERT_TRUE(r) << limit;
    EXPECT_EQ(r->state, 4);
  }
}

TEST_F(Scheduler, CancelOfRunningJobDiscardsItsResult) {
  Gate& g = gate("g.exr");
  DecodeScheduler s(1, 0, 1);
  const long id = submit_held(s, g, 1);
  EXPECT_TRUE(s.cancel(id));
  EXPECT_FALSE(s.cancel(id));
  EXPECT_EQ(s.state(id), -1);
  EXPECT_EQ(s.running(), 1) << "the decode runs to its end";
  g.release();
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
  EXPECT_EQ(s.queued(), 0);
  EXPECT_FALSE(s.take(id, 0.0));
}

// cancel and clear wake a take that waits without limit on the job they removed.
TEST_F(Scheduler, CancelAndClearWakeWaitingTakers) {
  Gate& busy = gate("busy.exr");
  DecodeScheduler s(1, 0, 1);
  const long b = submit_held(s, busy, 0);
  for (bool use_clear : {false, true}) {
    const long queued = s.submit(good, 5);
    BackgroundTake taker(s, queued, -1);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(taker.returned());
    if (use_clear)
      s.clear();
    else
      EXPECT_TRUE(s.cancel(queued));
    // Without a signal the taker would sleep until the busy job ends.
    EXPECT_TRUE(eventually([&] { return taker.returned(); })) << "clear " << use_clear;
    if (!taker.returned()) busy.release();
    EXPECT_FALSE(taker.result());
    EXPECT_EQ(s.state(queued), -1);
  }
  EXPECT_EQ(s.state(b), -1) << "clear forgot the running job too";
  EXPECT_EQ(s.queued(), 0);
  busy.release();
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
}

TEST_F(Scheduler, ClearDropsQueuedAndFinishedJobs) {
  DecodeScheduler s(1, 0, 1);
  const long done = s.submit(good, 0);
  ASSERT_TRUE(eventually([&] { return s.state(done) == 2; }));
  Gate& g = gate("g.exr");
  const long running = submit_held(s, g, 0);
  const long queued = s.submit(good, 0);
  s.clear();
  for (long id : {done, running, queued}) EXPECT_EQ(s.state(id), -1);
  EXPECT_EQ(s.queued(), 0);
  g.release();
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
  EXPECT_FALSE(s.take(running, 0.0));
}

TEST_F(Scheduler, FailedOpenFinishesWithStateFourAndTheLibrarysText) {
  DecodeScheduler s(1, 0, 1);
  auto r = s.take(s.submit(dir.file("absent.exr"), 0), -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, 4);
  EXPECT_NE(r->error.find("absent.exr"), std::string::npos) << r->error;
}

// A decode that throws finishes its job as state 3 naming the exception; the worker lives on.
TEST_F(Scheduler, DecodeThatThrowsFinishesAsStateThreeAndTheWorkerSurvives) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  const auto huge = qn_test::write_exr_header_only(dir.file("huge.exr"), 100000);
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

TEST_F(Scheduler, DestructorLetsRunningDecodesFinishAndDropsTheQueue) {
  Gate& g = gate("g.exr");
  auto s = std::make_unique<DecodeScheduler>(1, 1, 1);
  submit_held(*s, g, 0);
  for (int i = 0; i < 5; ++i) s->submit(good, 3);
  std::thread releaser([&] {
    std::this_thread::sleep_for(50ms);
    g.release();
  });
  s.reset();  // blocks until the gated decode ends
  releaser.join();
}

// Threads blocked in take when the scheduler goes away return empty, and the destructor waits
// for them to leave before the lock they sleep on is destroyed.
TEST_F(Scheduler, DestructorWaitsForThreadsInsideTake) {
  Gate& g = gate("g.exr");
  auto s = std::make_unique<DecodeScheduler>(1, 0, 1);
  submit_held(*s, g, 0);
  const long queued = s->submit(good, 1);  // never starts: the only worker is held
  DecodeScheduler* raw = s.get();
  std::vector<std::thread> takers;
  std::atomic<int> empty{0};
  for (int i = 0; i < 4; ++i)
    takers.emplace_back([&] {
      if (!raw->take(queued, -1)) ++empty;
    });
  std::this_thread::sleep_for(30ms);
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    g.release();
  });
  s.reset();
  for (auto& t : takers) t.join();
  releaser.join();
  EXPECT_EQ(empty, 4);
}

// Several host threads submit, reprioritise, cancel and take thousands of jobs over good and
// damaged files. Every job that was not cancelled is taken exactly once, finished; nothing is
// left queued or running.
TEST_F(Scheduler, StressManyHostThreads) {
  std::vector<std::string> files = {
      good, qn_test::write_rgba(dir.file("f.exr"), 9, 7, OIIO::TypeDesc::FLOAT),
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
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t)
    hosts.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<long> mine;
      for (int j = 0; j < kJobs; ++j) {
        const long id = s.submit(files[rng() % files.size()], static_cast<int>(rng() % 6) - 1);
        mine.push_back(id);
        const long other = mine[rng() % mine.size()];
        switch (rng() % 8) {
          case 0:
            s.reprioritize(other, static_cast<int>(rng() % 4));
            break;
          case 1:
            if (s.cancel(other)) ++cancelled;
            break;
          case 2:
            if (auto r = s.take(other, 0.001)) {
              EXPECT_GE(r->state, 2);
              ++taken;
              std::lock_guard<std::mutex> lock(seen_mutex);
              EXPECT_TRUE(seen.insert(other).second) << "taken twice";
            }
            break;
          default:
            (void)s.state(other);
        }
      }
      for (long id : mine) {
        if (auto r = s.take(id, -1)) {
          EXPECT_GE(r->state, 2);
          EXPECT_LE(r->state, 4);
          ++taken;
          std::lock_guard<std::mutex> lock(seen_mutex);
          EXPECT_TRUE(seen.insert(id).second) << "taken twice";
        }
      }
    });
  for (auto& h : hosts) h.join();
  EXPECT_EQ(taken + cancelled, kThreads * kJobs);
  EXPECT_EQ(s.queued(), 0);
  ASSERT_TRUE(eventually([&] { return s.running() == 0; }));
}

}  // namespace
