#include "quarn/io/decode_scheduler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <string>
#include <utility>

namespace qn::io {
namespace {

// Time limits beyond this (about 31 years) are no limit: the deadline arithmetic stays far from
// the clock's range.
constexpr double kLongestWait = 1e9;

void finish_with_exception(DecodeResult& result, const char* what) {
  result = DecodeResult{};
  result.state = DECODE_NOT_PLAIN;
  result.error = std::string("decode raised ") + what;
}

}  // namespace

DecodeScheduler::DecodeScheduler(int general, int urgent, int decode_threads)
    : workers(std::max(general, 1)), decode_threads(decode_threads) {
  try {
    worker_threads.reserve(static_cast<std::size_t>(workers) + std::max(urgent, 0));
    for (int i = 0; i < workers; ++i) worker_threads.emplace_back([this] { run(false); });
    for (int i = 0; i < urgent; ++i) worker_threads.emplace_back([this] { run(true); });
  } catch (...) {
    stop_workers();  // a thread that could not start: join those that did
    throw;
  }
}

void DecodeScheduler::stop_workers() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    queue.clear();
  }
  work_cv.notify_all();
  done_cv.notify_all();
  for (std::thread& t : worker_threads) t.join();
}

DecodeScheduler::~DecodeScheduler() {
  stop_workers();
  // Threads still inside `take` hold on to the mutex and the condition variable: let them leave
  // before either is destroyed.
  std::unique_lock<std::mutex> lock(mutex);
  done_cv.wait(lock, [this] { return takers == 0; });
}

long DecodeScheduler::submit(const std::string& path, int priority) {
  auto job = std::make_shared<Job>();
  job->priority = std::max(priority, 0);
  job->path = path;
  job->result = std::make_shared<DecodeResult>();
  long id;
  {
    std::lock_guard<std::mutex> lock(mutex);
    id = job->id = next_id++;
    queue.push_back(job);
    jobs.emplace(id, std::move(job));
  }
  work_cv.notify_all();
  return id;
}

void DecodeScheduler::reprioritize(long id, int priority) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = jobs.find(id);
    if (it == jobs.end()) return;
    it->second->priority = std::max(priority, 0);
  }
  work_cv.notify_all();
}

int DecodeScheduler::state(long id) const {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = jobs.find(id);
  return it == jobs.end() ? -1 : it->second->result->state;
}

int DecodeScheduler::queued() const {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<int>(queue.size());
}

int DecodeScheduler::running() const {
  std::lock_guard<std::mutex> lock(mutex);
  return running_count;
}

std::shared_ptr<DecodeResult> DecodeScheduler::take(long id, double seconds) {
  std::unique_lock<std::mutex> lock(mutex);
  ++takers;
  auto settled = [&] {
    auto it = jobs.find(id);
    return it == jobs.end() || stopping || it->second->result->state >= DECODE_DONE;
  };
  if (seconds < 0 || !(seconds < kLongestWait)) {  // NaN and infinity included
    done_cv.wait(lock, settled);
  } else {
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::nanoseconds(static_cast<long long>(std::ceil(seconds * 1e9)));
    done_cv.wait_until(lock, deadline, settled);
  }
  std::shared_ptr<DecodeResult> result;
  auto it = jobs.find(id);
  if (it != jobs.end() && it->second->result->state >= DECODE_DONE) {
    result = it->second->result;
    jobs.erase(it);
  }
  if (--takers == 0 && stopping) done_cv.notify_all();
  return result;
}

bool DecodeScheduler::cancel(long id) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = jobs.find(id);
    if (it == jobs.end()) return false;
    std::shared_ptr<Job> job = std::move(it->second);
    jobs.erase(it);
    job->cancelled = true;
    auto queued_at = std::find(queue.begin(), queue.end(), job);
    if (queued_at != queue.end()) queue.erase(queued_at);
  }
  done_cv.notify_all();
  return true;
}

void DecodeScheduler::clear() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [id, job] : jobs) job->cancelled = true;
    jobs.clear();
    queue.clear();
  }
  done_cv.notify_all();
}

bool DecodeScheduler::has_urgent_job() const {
  return std::any_of(queue.begin(), queue.end(), [](const auto& j) { return j->priority == 0; });
}

std::shared_ptr<DecodeScheduler::Job> DecodeScheduler::pop(bool urgent) {
  auto pick = queue.end();
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (urgent) {
      if ((*it)->priority == 0) {
        pick = it;
        break;
      }
    } else if (pick == queue.end() || (*it)->priority < (*pick)->priority) {
      pick = it;
    }
  }
  if (pick == queue.end()) return nullptr;
  std::shared_ptr<Job> job = std::move(*pick);
  queue.erase(pick);
  return job;
}

void DecodeScheduler::run(bool urgent) {
  while (true) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex);
      work_cv.wait(lock, [&] { return stopping || (urgent ? has_urgent_job() : !queue.empty()); });
      if (stopping) return;
      job = pop(urgent);
      if (!job) continue;
      job->result->state = DECODE_RUNNING;
      ++running_count;
    }

    DecodeResult local;
    try {
      decode_plain(job->path, decode_threads, local);
    } catch (const std::exception& e) {
      finish_with_exception(local, e.what());
    } catch (...) {
      finish_with_exception(local, "an exception of unknown type");
    }

    {
      std::lock_guard<std::mutex> lock(mutex);
      --running_count;
      if (!job->cancelled) *job->result = std::move(local);
    }
    done_cv.notify_all();
  }
}

}  // namespace qn::io
