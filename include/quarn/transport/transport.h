// quarn/transport/transport.h — asynchronous readback of rendered float images into host memory.
//
// On the GL thread, `start` reads a rectangle of a framebuffer's colour attachment 0 as 32-bit
// floats into a persistently mapped pixel-pack buffer, puts an EGL fence after each band of
// rows, and returns a ticket at once. A completion thread waits for the fences, has four copy
// threads move the bytes from the mapping into the caller's memory, publishes the ticket and
// runs the caller's callback. The host polls (`done`, `pending`) or blocks (`wait`, `wait_all`).
//
// A small ring of buffers (3 by default, at most 8) keeps several readbacks in flight; a
// buffer belongs to one readback from `start` until its ticket completes, and is reused (grown
// in whole MiB only when too small) afterwards. A ring slot's life:
//
//   free ──start──> reading (glReadPixels per band + fence) ──queued──> fenced
//     ^                                                                    │ completion thread:
//     └────── completed (stamp, then ticket, then on_done) <── copying <───┘ fence wait per band
//
// Owns: the ring's GL buffers (created and deleted on the GL thread), the completion thread
// (runs from `init` to `close`) and the copy pool (four threads, started by the first `init`,
// alive for the process). Never owns the destination memory, the framebuffers or the context.
// EGL and GL are reached as the GPU layer reaches them (quarn/gpu/gl.h): the process's
// "libEGL.so.1" and `eglGetProcAddress`, resolved again by every `init` that is not a no-op.
//
// Threads: `init`, `start` and `close` run on the GL thread, with the same EGL context current.
// Any thread may call `ready`, `done`, `pending`, `wait`, `wait_all`, `stats` and
// `set_ring_size`. One process-wide lock guards the bookkeeping and is never held across a GL
// call, a fence wait or a copy. `start` blocks while every ring slot is busy; `wait`, `wait_all`
// and `close` block until readbacks complete.
//
// Order at completion, for each ticket in turn (tickets complete strictly in issue order): the
// destination bytes are all in place, then `*stamp = stamp_value` is stored, then the ticket is
// complete (`done`, `wait`), then `on_done` runs on the completion thread. The stamp is a
// release store: a thread that reads it with an acquire load, e.g.
//   std::atomic_ref<std::uint32_t>(stamp).load(std::memory_order_acquire) == value
// also sees every destination byte. Plain reads of the stamp while a readback may write it are
// a data race. `wait` may return before `on_done` has run or finished.
//
// Callbacks: a slow `on_done` delays every later completion. It may call `done`, `pending`,
// `ready` and `stats`, but must not `wait` on a later ticket (it would wait for itself) or call
// `close`. An exception thrown by `on_done` is caught on the completion thread and discarded:
// its ticket is already complete, and later tickets complete as usual.
//
// GL state: the transport binds `GL_PIXEL_PACK_BUFFER` (left at 0) and `GL_READ_FRAMEBUFFER`
// (left at `restore_fbo`) and selects `GL_COLOR_ATTACHMENT0` as the read buffer of `fbo`. It
// relies on the host keeping the pixel-pack state (row length, skip pixels and rows,
// alignment) at GL's defaults; it never sets them. GL errors are not queried.
//
// Failures: `init` returns false and, when `err` is not null, replaces `*err` with one of
//   "libEGL.so.1 / eglGetProcAddress not available"
//   "no current EGL context on this thread"
//   "EGL_KHR_fence_sync not available"
//   "OpenGL entry point glXxx not available"   (the last missing one in resolution order)
// `start` returns 0, without any GL call, before `init`, for a width or height below 1,
// channels other than 2 or 4, a null destination, or a rectangle whose byte count overflows
// 64 bits, whose buffer (rounded up to whole MiB) exceeds GL's signed buffer size, or whose
// rows reach past `y` = INT_MAX. It also returns 0 when a buffer cannot be mapped or a fence
// cannot be made (then after waiting for the fences it made). A lock failure raises
// std::system_error.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "quarn/export.h"

namespace qn::transport {

struct TransportStats {
  double wait_ms = 0;           // the last completed readback's fence waits, summed over bands
  double copy_ms = 0;           // from its last band's hand-off to the copy pool until idle
  std::uint64_t completed = 0;  // readbacks completed since the process started
  std::uint64_t buffers = 0;    // pixel-pack buffers created since the process started
};

/// Prepares the transport for the context current on the calling thread. True at once when
/// already ready; otherwise resolves EGL and GL afresh, starts the completion thread and makes
/// sure the copy pool has four workers.
[[nodiscard]] QN_API bool init(std::string* err);

QN_API bool ready();

/// Begins reading (`x`, `y`, `width`, `height`) of colour attachment 0 of `fbo` as floats with
/// `channels` components (2: RG, 4: RGBA), rows bottom-up as GL gives them, into `dst`, which
/// must hold width × height × channels × 4 bytes and stay valid until the ticket completes.
/// `stamp` (may be null) receives `stamp_value` once the bytes are in place; `on_done` (may be
/// empty) runs after completion. Returns the ticket, or 0 if nothing was started. Blocks while
/// every ring slot is busy.
QN_API std::uint64_t start(std::uint32_t fbo, std::uint32_t restore_fbo, int x, int y, int width,
                           int height, int channels, void* dst, std::uint32_t* stamp,
                           std::uint32_t stamp_value, std::function<void()> on_done);

/// True when `ticket` has completed, or was never issued (0, or not yet returned by `start`).
QN_API bool done(std::uint64_t ticket);

/// Readbacks started and not yet completed.
QN_API int pending();

/// Blocks until `done(ticket)`.
QN_API void wait(std::uint64_t ticket);

/// Blocks until every readback started before the call has completed.
QN_API void wait_all();

QN_API TransportStats stats();

/// Sets the ring size to `n` clamped to 1..8 and grows the ring to it; never shrinks the ring.
/// Before the first `init` it only sets the size `init` will use.
QN_API void set_ring_size(int n);

/// Waits for every readback (and its callback), stops the completion thread and deletes every
/// buffer; `init` may run again afterwards. Does nothing when not ready.
QN_API void close();

}  // namespace qn::transport
