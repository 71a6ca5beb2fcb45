// transport/transport_state.h — the process-wide state shared by `start` (GL thread), the
// completion thread and the copy pool (internal).
//
// Lock discipline: `Transport::mutex` (the transport lock) guards the fields marked so below;
// the copy pool has its own lock. The completion thread never holds both; copy workers take
// only the pool's. Neither lock is held across a GL call, a fence wait or a copy.
//
// A slot's buffer fields are written without the lock by the GL thread only while the slot is
// busy for its readback; the ring's storage is reserved for every slot it can ever have, so a
// slot never moves.
#pragma once

#define EGL_NO_X11
#define EGL_EGLEXT_PROTOTYPES  // declarations for decltype only: EGL and GL are never linked
#define GL_GLEXT_PROTOTYPES
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/glcorearb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "quarn/transport/transport.h"
#include "transport/readback_plan.h"

namespace qn::transport::detail {

// The one list of the transport's EGL and GL functions, in resolution order:
//   X(source, name)
// EGL_LIBRARY: `dlsym` in the EGL library; EGL_FENCE: EGL_KHR_fence_sync through
// `eglGetProcAddress` (either missing: "EGL_KHR_fence_sync not available"); GL: through
// `eglGetProcAddress` ("OpenGL entry point glXxx not available").
// clang-format off
#define QN_TRANSPORT_ENTRY_POINTS(X)                                              \
  X(EGL_LIBRARY, eglGetCurrentDisplay)                                            \
  X(EGL_FENCE, eglCreateSyncKHR) X(EGL_FENCE, eglClientWaitSyncKHR)               \
  X(EGL_FENCE, eglDestroySyncKHR)                                                 \
  X(GL, glBindFramebuffer) X(GL, glReadBuffer) X(GL, glReadPixels)                \
  X(GL, glGenBuffers) X(GL, glDeleteBuffers) X(GL, glBindBuffer)                  \
  X(GL, glBufferStorage) X(GL, glMapBufferRange) X(GL, glUnmapBuffer) X(GL, glFlush)
// clang-format on

struct Api {
#define QN_TRANSPORT_MEMBER_(source, name) decltype(&::name) name = nullptr;
  QN_TRANSPORT_ENTRY_POINTS(QN_TRANSPORT_MEMBER_)
#undef QN_TRANSPORT_MEMBER_
};

constexpr int MAX_SLOTS = 8;
constexpr int DEFAULT_SLOTS = 3;

struct Slot {
  std::uint32_t buffer = 0;    // GL buffer name, 0 if none
  void* mapped = nullptr;      // persistent read mapping of the whole buffer
  std::uint64_t capacity = 0;  // whole MiB
  bool busy = false;           // guarded by the transport lock
};

struct Band {
  EGLSyncKHR sync = nullptr;
  std::uint64_t position = 0;  // in the buffer and in the destination
  std::uint64_t bytes = 0;
};

struct Job {
  std::uint64_t ticket = 0;
  std::int32_t slot = 0;
  EGLDisplay display = nullptr;
  std::array<Band, MAX_BANDS> bands{};  // in row order; fixed storage: no allocation per job
  int band_count = 0;
  void* dst = nullptr;
  std::uint64_t bytes = 0;
  std::uint32_t* stamp = nullptr;
  std::uint32_t stamp_value = 0;
  std::function<void()> on_done;
};

// First in, first out, in fixed storage: a queued job holds a busy slot, so at most MAX_SLOTS
// jobs ever wait.
class JobQueue {
 public:
  bool empty() const { return count_ == 0; }
  void push(Job&& job) { jobs_[(head_ + count_++) % MAX_SLOTS] = std::move(job); }
  Job pop() {
    Job job = std::move(jobs_[head_]);
    head_ = (head_ + 1) % MAX_SLOTS;
    --count_;
    return job;
  }

 private:
  std::array<Job, MAX_SLOTS> jobs_;
  int head_ = 0, count_ = 0;
};

struct Transport {
  Transport() { ring.reserve(MAX_SLOTS); }

  std::mutex mutex;                // the transport lock
  std::condition_variable signal;  // new jobs, freed slots, completed tickets; always notify_all
  std::vector<Slot> ring;          // guarded by mutex (see the banner for the buffer fields)
  int ring_size = DEFAULT_SLOTS;   // guarded by mutex
  JobQueue queue;                  // guarded by mutex
  std::uint64_t next_ticket = 1;   // guarded by mutex
  std::uint64_t completed_ticket = 0;  // guarded by mutex
  TransportStats stats;                // guarded by mutex
  bool stop = false;                   // guarded by mutex

  // Written by `init` on the GL thread before it starts the completion thread, which only
  // reads the fence functions; `start` and `close` read them on the GL thread.
  Api api;
  std::thread completion;  // GL thread only
  std::atomic<bool> ready{false};
};

/// Created on first use, never destroyed.
Transport& transport();

/// The completion thread's body; returns once `stop` is set and the queue is empty.
void complete_readbacks();

/// Starts copy workers until the pool has at least `n`; they live for the process.
void ensure_copy_workers(int n);

}  // namespace qn::transport::detail
