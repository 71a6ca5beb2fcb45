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
#include <optional>
#include <random>
#include <thread>

#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace qn::io;

bool eventually(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (!done() && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
  return done();
}

int state_of(const std::shared_ptr<DecodeResult>& r) { return r ? r->state : -2; }

class Scheduler : public ::testing::Test {
 protected:
  ~Scheduler() override {  // a failed test must not leave a worker held
    for (std::size_t i = 0; i < gates.size(); ++i) release(i);
  }
  // A named pipe: a decode of it blocks in the open until released, then fails to open.
  const std::string& gate() {
    const auto path = dir.file("gate" + std::to_string(gates.size()) + ".exr");
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return gates.emplace_back(path, ::open(path.c_str(), O_RDWR)).first;  // both ends held
  }
  void release(std::size_t i) {
    if (gates[i].second < 0) return;
    ::unlink(gates[i].first.c_str());
    ::close(std::exchange(gates[i].second, -1));
  }
  long submit_held(int priority) {
    const long id = s->submit(gate(), priority);
    EXPECT_TRUE(eventually([&] { return s->state(id) == DECODE_RUNNING; }));
    return id;
  }
  std::future<std::shared_ptr<DecodeResult>> take_async(long id, double limit) {
    return std::async(std::launch::async, [this, id, limit] { return s->take(id, limit); });
  }
  qn_test::TempDir dir;
  std::string good = qn_test::write_pattern(dir.file("good.exr"),
                                            qn_test::named_spec(16, 8, OIIO::TypeDesc::HALF));
  std::optional<DecodeScheduler> s;
  std::vector<std::pair<std::string, int>> gates;  // path, held descriptor
};

// A negative priority counts as 0; a job raised to 0 while queued is the urgent worker's too.
TEST_F(Scheduler, WorkersPickSmallestPriorityThenEarliestAndTheUrgentLaneOnlyZero) {
  s.emplace(1, 1, 1);
  EXPECT_EQ(submit_held(1), 1);
  std::vector<long> ids;
  for (int p : {5, 2, 2, 9}) ids.push_back(s->submit(gate(), p));
  EXPECT_EQ(ids, (std::vector<long>{2, 3, 4, 5}));
  const long zero = submit_held(-3);
  EXPECT_TRUE(s->running() == 2 && s->queued() == 4);
  release(gates.size() - 1);
  EXPECT_EQ(state_of(s->take(zero, 20)), DECODE_OPEN_FAILED);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(s->queued(), 4) << "the urgent worker is idle, but the rest is not its lane";
  release(0);
  for (int k : {1, 2, 0, 3}) {
    ASSERT_TRUE(eventually([&] { return s->state(ids[k]) == DECODE_RUNNING; })) << k;
    EXPECT_EQ(s->running(), 1);
    if (k == 0) {  // raised to 0: the urgent worker takes it beside the general one
      const long raised = s->submit(good, 7);
      s->reprioritize(raised, 0);
      EXPECT_EQ(state_of(s->take(raised, 20)), DECODE_DONE);
    }
    release(k + 1);
    EXPECT_EQ(state_of(s->take(ids[k], 20)), DECODE_OPEN_FAILED);
  }
}

// A huge, infinite or NaN limit is no limit: the deadline must not wrap into the past.
TEST_F(Scheduler, TakeWaitsAsAskedAndReturnsAResultOnce) {
  s.emplace(1, 0, 1);
  const long id = submit_held(1);
  EXPECT_FALSE(s->take(id, 0.0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s->take(id, 0.25));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_EQ(s->state(id), DECODE_RUNNING);
  release(0);
  ASSERT_TRUE(eventually([&] { return s->state(id) == DECODE_OPEN_FAILED; }));
  auto r = s->take(id, 0.0);
  EXPECT_TRUE(r && !r->error.empty());
  EXPECT_EQ(s->state(id), -1);
  for (double limit : {std::numeric_limits<double>::infinity(), std::nan(""), 1e300, 9.3e9, -1.0}) {
    auto taker = take_async(s->submit(gate(), 1), limit);
    EXPECT_EQ(taker.wait_for(50ms), std::future_status::timeout) << limit;
    release(gates.size() - 1);
    EXPECT_EQ(state_of(taker.get()), DECODE_OPEN_FAILED);
  }
  EXPECT_FALSE(s->take(999, -1)) << "unknown ids return at once, even without a limit";
  EXPECT_FALSE(s->cancel(999));
  s->reprioritize(999, 0);
  EXPECT_EQ(s->state(999), -1) << "reprioritizing an unknown id adds no job";
}

// Destruction lets the running decode end, its takers leave empty-handed. Zero workers make one.
TEST_F(Scheduler, CancelClearAndDestructionForgetJobsAndWakeTakers) {
  s.emplace(0, 0, 1);
  const long done = s->submit(good, 0);
  ASSERT_TRUE(eventually([&] { return s->state(done) == DECODE_DONE; }));
  const long busy = submit_held(0);
  for (bool use_clear : {true, false}) {
    const long queued = s->submit(good, 0);  // never starts: the one worker is held
    auto taker = take_async(queued, -1);
    EXPECT_EQ(taker.wait_for(30ms), std::future_status::timeout);
    if (use_clear)
      s->clear();
    else
      EXPECT_TRUE(s->cancel(queued));
    EXPECT_FALSE(s->cancel(queued));
    if (taker.wait_for(20s) != std::future_status::ready) release(0);  // else it would hang
    EXPECT_FALSE(taker.get()) << "clear " << use_clear;
  }
  EXPECT_EQ(s->state(done) + s->state(busy), -2);
  EXPECT_TRUE(s->queued() == 0 && s->running() == 1) << "the decode runs to its end";
  const long queued = s->submit(good, 0);
  std::vector<std::future<std::shared_ptr<DecodeResult>>> takers;
  for (int i = 0; i < 4; ++i) takers.push_back(take_async(queued, -1));
  std::this_thread::sleep_for(30ms);
  auto releaser = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(50ms);
    release(0);
  });
  s.reset();  // blocks until the gated decode ends
  for (auto& t : takers) EXPECT_FALSE(t.get());
}

// Every job not cancelled is taken once, finished; nothing is left queued or running.
TEST_F(Scheduler, StressManyHostThreads) {
  std::vector<std::string> files = {good, dir.file("absent.exr")};
  if (const auto root = qn_test::openexr_images(); !root.empty())
    files.push_back((root / "Damaged" / "NULL_pointer").string());
  s.emplace(2, 1, 1);
  constexpr int kThreads = 4, kJobs = 500;
  std::atomic<int> taken{0}, cancelled{0};
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t)
    hosts.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<long> mine;  // only this thread takes or cancels these
      for (int j = 0; j < kJobs; ++j) {
        mine.push_back(s->submit(files[rng() % files.size()], static_cast<int>(rng() % 6) - 1));
        const long other = mine[rng() % mine.size()];
        if (const unsigned op = rng() % 8; op == 0)
          s->reprioritize(other, int(rng() % 4));
        else if (op == 1 && s->cancel(other))
          ++cancelled;
        else if (auto r = op == 2 ? s->take(other, 0.001) : nullptr)
          taken += r->state >= DECODE_DONE;
        else
          EXPECT_GE(s->state(other), -1);
      }
      for (long id : mine)
        if (auto r = s->take(id, -1)) taken += r->state >= DECODE_DONE;
    });
  for (auto& h : hosts) h.join();
  EXPECT_EQ(taken + cancelled, kThreads * kJobs);
  EXPECT_EQ(s->queued(), 0);
  ASSERT_TRUE(eventually([&] { return s->running() == 0; }));
}

}  // namespace
