// The completion thread and the copy pool behind `qn::transport::start`.
//
// For each job, in ticket order: wait for a band's fence, hand the band to the pool as pieces
// of at most 1 MiB, go on with the next band while the pool copies; then wait until the pool
// is idle, store the stamp, publish the ticket, run the callback.
//
//   band 0: [fence wait][hand-off]
//   band 1:             [fence wait][hand-off]          workers: copy band 0 ... band 1 ...
//   ...                                      [wait idle][stamp][ticket done][on_done]
//
// The completion thread is the pool's only producer, so "idle" means this job's copies are
// done. It never holds the transport lock and the pool lock together.
#include <chrono>
#include <cstring>

#include "core/platform.h"
#include "transport/transport_state.h"

namespace qn::transport::detail {
namespace {

using platform::ms_since;

struct CopyTask {
  std::uint64_t bytes;
  const char* src;  // into the mapped buffer
  char* dst;        // into the caller's memory
};

class CopyPool {
 public:
  void ensure(int n) {
    while (int(threads_.size()) < n) threads_.emplace_back([this] { work(); }).detach();
  }

  void add_band(const char* src, char* dst, std::uint64_t bytes) {
    {
      std::lock_guard lock(mutex_);
      split_copy(bytes, [&](std::uint64_t k, std::uint64_t n) {
        tasks_.push_back({n, src + k, dst + k});
      });
    }
    work_.notify_all();
  }

  void wait_idle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return head_ == tasks_.size() && active_ == 0; });
  }

 private:
  void work() {
    for (;;) {
      CopyTask task;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return head_ < tasks_.size(); });
        task = tasks_[head_++];
        if (head_ == tasks_.size()) {  // drained: reuse the storage (no allocation per job)
          tasks_.clear();
          head_ = 0;
        }
        ++active_;
      }
      std::memcpy(task.dst, task.src, task.bytes);
      {
        std::lock_guard lock(mutex_);
        --active_;
      }
      idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;      // tasks were added
  std::condition_variable idle_;      // a task was copied
  std::vector<CopyTask> tasks_;       // guarded by mutex_; [head_, size) wait, first in first out
  std::size_t head_ = 0;              // guarded by mutex_
  std::uint64_t active_ = 0;          // guarded by mutex_: copies being performed
  std::vector<std::thread> threads_;  // detached, never joined; grown by `init` on the GL thread
};

CopyPool& pool() {
  static CopyPool* instance = new CopyPool;  // its workers live for the process
  return *instance;
}

// Runs the caller's callback; an exception it throws is discarded, so that the completion
// thread lives on and later tickets complete.
void run_callback(std::function<void()>& on_done) {
  if (!on_done) return;
  try {
    on_done();
  } catch (...) {
  }
  on_done = nullptr;
}

}  // namespace

void ensure_copy_workers(int n) { pool().ensure(n); }

void complete_readbacks() {
  Transport& t = transport();
  const Api& api = t.api;
  for (;;) {
    Job job;
    const char* mapped;
    {
      std::unique_lock lock(t.mutex);
      t.signal.wait(lock, [&] { return !t.queue.empty() || t.stop; });
      if (t.queue.empty()) return;
      job = t.queue.pop();
      mapped = static_cast<const char*>(t.ring[job.slot].mapped);
    }
    char* dst = static_cast<char*>(job.dst);
    double wait_ms = 0;
    for (int i = 0; i < job.band_count; ++i) {
      const Band& band = job.bands[i];
      const auto before = std::chrono::steady_clock::now();
      api.eglClientWaitSyncKHR(job.display, band.sync, 0, EGL_FOREVER_KHR);
      api.eglDestroySyncKHR(job.display, band.sync);
      wait_ms += ms_since(before);
      pool().add_band(mapped + band.position, dst + band.position, band.bytes);
    }
    const auto handed_off = std::chrono::steady_clock::now();
    pool().wait_idle();
    const double copy_ms = ms_since(handed_off);
    if (job.stamp)  // release: a thread that loads the stamp with acquire sees the bytes
      std::atomic_ref<std::uint32_t>(*job.stamp).store(job.stamp_value, std::memory_order_release);
    {
      std::lock_guard lock(t.mutex);
      t.stats.wait_ms = wait_ms;
      t.stats.copy_ms = copy_ms;
      ++t.stats.completed;
      t.ring[job.slot].busy = false;
      t.completed_ticket = job.ticket;
    }
    t.signal.notify_all();
    run_callback(job.on_done);
  }
}

}  // namespace qn::transport::detail
