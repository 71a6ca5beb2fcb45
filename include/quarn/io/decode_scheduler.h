// quarn/io/decode_scheduler.h — whole-file decodes on background threads, in priority order.
//
// The host submits paths with a priority (smaller is more urgent, 0 the most urgent; negative
// values count as 0) and gets job ids back; it may change a waiting job's priority, ask for a
// job's state, cancel it, and take its finished `DecodeResult`, waiting with or without a limit.
// Each job runs `decode_plain` with the scheduler's thread budget.
//
// Two kinds of worker: general workers take any queued job, the smallest priority first and,
// among equals, the earliest submitted; urgent-lane workers take only jobs of priority 0. So a
// priority-0 job starts as soon as any worker is free, while others wait for a general worker.
//
//   submit ──> queued (0) ──worker──> running (1) ──> finished (2, 3, 4) ──take──> gone
//                 │                        │
//                 └── cancel / clear ──────┴──> gone at once (a running decode still ends;
//                                                its result is then thrown away)
//
// Owns its worker threads, the job table and every result until it is taken; results are shared
// with the host through std::shared_ptr once taken.
//
// Threads: every operation is thread-safe and may be called from any thread. One mutex guards
// all state (taken briefly for bookkeeping and the linear scan that picks a job; never during a
// decode); `work_cv` wakes workers, `done_cv` wakes `take` callers. `take` blocks; the
// destructor blocks until the running decodes have ended and every thread inside `take` has
// left.
//
// Failures: decode failures are results (states 3 and 4), not errors of the scheduler. A decode
// that throws — an allocation failure for an absurd declared size, say — finishes its job as
// state 3 with the exception named in `error`, and the worker goes on. Unknown ids are neutral:
// `state` −1, `take` empty, `cancel` false, `reprioritize` nothing. A failure to lock raises
// std::system_error.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quarn/export.h"
#include "quarn/io/plain_decode.h"

namespace qn::io {

class QN_API DecodeScheduler {
 public:
  /// One submitted decode; shared by the queue, the job table and the worker running it. All
  /// fields but `id` and `path` are guarded by the scheduler's mutex.
  struct Job {
    std::int64_t id = 0;
    std::int32_t priority = 0;  // never negative
    std::string path;
    bool cancelled = false;                // a worker finishing it discards its result
    std::shared_ptr<DecodeResult> result;  // its `state` is the job's state
  };

  /// Starts max(`general`, 1) general workers, then `urgent` urgent-lane workers (none when
  /// `urgent` < 1). Every decode gets `decode_threads` as its thread budget.
  DecodeScheduler(int general, int urgent, int decode_threads);
  /// Drops the queued jobs, lets running decodes finish, wakes and waits out every `take`
  /// caller, and joins every worker. Blocks.
  ~DecodeScheduler();
  DecodeScheduler(const DecodeScheduler&) = delete;
  DecodeScheduler& operator=(const DecodeScheduler&) = delete;

  /// Queues a decode of `path`; returns its id (1, 2, 3, … — never reused).
  long submit(const std::string& path, int priority);
  /// Sets a known job's priority (max(priority, 0)); it counts from the next pick on.
  void reprioritize(long id, int priority);
  /// 0 queued, 1 running, 2/3/4 finished (see DecodeResult), −1 unknown or gone.
  int state(long id) const;
  /// Jobs waiting to start.
  int queued() const;
  /// Decodes in progress.
  int running() const;
  /// The finished result of job `id`, which is then forgotten; empty when the job is unknown,
  /// cancelled, not finished in time, or the scheduler is being destroyed. `seconds` < 0, NaN,
  /// infinite or beyond 10^9 s waits without limit; 0 checks once; otherwise waits at most that
  /// long. Blocks.
  std::shared_ptr<DecodeResult> take(long id, double seconds);
  /// Forgets job `id` (a running decode ends, its result discarded); false if it was unknown.
  /// Wakes `take` callers.
  bool cancel(long id);
  /// Forgets every job, as `cancel` does for each. Wakes `take` callers.
  void clear();

 private:
  std::shared_ptr<Job> pop(bool urgent);  // requires mutex
  void run(bool urgent);
  void stop_workers();          // sets `stopping`, drops the queue, joins every worker
  bool has_urgent_job() const;  // requires mutex

  int workers;
  int decode_threads;
  mutable std::mutex mutex;
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  std::deque<std::shared_ptr<Job>> queue;     // guarded by mutex
  std::map<long, std::shared_ptr<Job>> jobs;  // guarded by mutex
  std::int64_t next_id = 1;                   // guarded by mutex
  int running_count = 0;                      // guarded by mutex
  bool stopping = false;                      // guarded by mutex
  int takers = 0;                             // threads inside take; guarded by mutex
  std::vector<std::thread> worker_threads;    // touched only by constructor/destructor
};

}  // namespace qn::io
