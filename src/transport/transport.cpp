#include "quarn/transport/transport.h"

#include "gpu/egl_bootstrap.h"
#include "transport/transport_state.h"

namespace qn::transport {
namespace detail {

Transport& transport() {
  static Transport* state = new Transport;  // lives for the process: threads may outlive main
  return *state;
}

}  // namespace detail

namespace {

using namespace detail;

// Buffer storage and mapping flags: read-only, persistent and coherent, so the completion
// thread can read through the mapping once a fence has signalled, with no GL call.
constexpr GLbitfield STORAGE_FLAGS =
    GL_MAP_READ_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT | GL_CLIENT_STORAGE_BIT;
constexpr GLbitfield MAP_FLAGS = GL_MAP_READ_BIT | GL_MAP_PERSISTENT_BIT | GL_MAP_COHERENT_BIT;

bool fail(std::string* err, const char* message) {
  if (err) *err = message;
  return false;
}

#define QN_TRANSPORT_MISSING_EGL_LIBRARY(name) "EGL_KHR_fence_sync not available"
#define QN_TRANSPORT_MISSING_EGL_FENCE(name) "EGL_KHR_fence_sync not available"
#define QN_TRANSPORT_MISSING_GL(name) "OpenGL entry point " #name " not available"

enum class Source { EGL_LIBRARY, EGL_FENCE, GL };

gpu::detail::EglProc look_up(const gpu::detail::EglBootstrap& egl, Source source,
                             const char* name) {
  return source == Source::EGL_LIBRARY ? gpu::detail::egl_library_symbol(name)
                                       : egl.get_proc_address(name);
}

// Resolves the EGL rows (`gl` false) or the GL rows of the table into `api`; the message of
// the last missing row, or null.
const char* resolve(const gpu::detail::EglBootstrap& egl, bool gl, Api& api) {
  const char* missing = nullptr;
#define QN_TRANSPORT_RESOLVE_(source, name)                                               \
  if ((Source::source == Source::GL) == gl) {                                             \
    api.name = reinterpret_cast<decltype(api.name)>(look_up(egl, Source::source, #name)); \
    if (!api.name) missing = QN_TRANSPORT_MISSING_##source(name);                         \
  }
  QN_TRANSPORT_ENTRY_POINTS(QN_TRANSPORT_RESOLVE_)
#undef QN_TRANSPORT_RESOLVE_
  return missing;
}

void release_buffer(const Api& gl, Slot& slot) {
  gl.glBindBuffer(GL_PIXEL_PACK_BUFFER, slot.buffer);
  gl.glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
  gl.glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
  gl.glDeleteBuffers(1, &slot.buffer);
  slot.buffer = 0;
  slot.mapped = nullptr;
  slot.capacity = 0;
}

// Waits for a free slot, preferring one already large enough, and marks it busy.
int claim_slot(Transport& t, std::uint64_t bytes) {
  std::unique_lock lock(t.mutex);
  for (;;) {
    int first_free = -1;
    for (int i = 0; i < int(t.ring.size()); ++i) {
      if (t.ring[i].busy) continue;
      if (first_free < 0) first_free = i;
      if (t.ring[i].capacity >= bytes) {
        first_free = i;
        break;
      }
    }
    if (first_free >= 0) {
      t.ring[first_free].busy = true;
      return first_free;
    }
    t.signal.wait(lock);
  }
}

void free_slot(Transport& t, int slot) {
  {
    std::lock_guard lock(t.mutex);
    t.ring[slot].busy = false;
  }
  t.signal.notify_all();
}

// Gives a busy slot a mapped buffer of at least `buffer_bytes`; false if it cannot be mapped.
bool provide_buffer(Transport& t, Slot& slot, std::uint64_t bytes, std::uint64_t buffer_bytes) {
  if (slot.capacity >= bytes) return true;
  const Api& gl = t.api;
  if (slot.buffer) release_buffer(gl, slot);
  GLuint buffer = 0;
  gl.glGenBuffers(1, &buffer);
  gl.glBindBuffer(GL_PIXEL_PACK_BUFFER, buffer);
  gl.glBufferStorage(GL_PIXEL_PACK_BUFFER, GLsizeiptr(buffer_bytes), nullptr, STORAGE_FLAGS);
  void* mapped = gl.glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, GLsizeiptr(buffer_bytes), MAP_FLAGS);
  gl.glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
  if (!mapped) {
    gl.glDeleteBuffers(1, &buffer);
    return false;
  }
  slot.buffer = buffer;
  slot.mapped = mapped;
  slot.capacity = buffer_bytes;
  std::lock_guard lock(t.mutex);
  ++t.stats.buffers;
  return true;
}

// Reads the rows band by band into the bound buffer, one fence after each band. False if a
// fence could not be made (the bands read so far keep theirs).
bool read_bands(const Api& gl, EGLDisplay display, const ReadbackPlan& plan, int x, int y,
                int width, int height, GLenum format, Job& job) {
  for (int first = 0; first < height; first += plan.rows_per_band) {
    const int rows = std::min(plan.rows_per_band, height - first);
    const std::uint64_t position = std::uint64_t(first) * plan.row_bytes;
    gl.glReadPixels(x, y + first, width, rows, format, GL_FLOAT,
                    reinterpret_cast<void*>(std::uintptr_t(position)));
    EGLSyncKHR sync = gl.eglCreateSyncKHR(display, EGL_SYNC_FENCE_KHR, nullptr);
    if (!sync) return false;
    job.bands[job.band_count++] = {sync, position, std::uint64_t(rows) * plan.row_bytes};
    if (first == 0) gl.glFlush();
  }
  return true;
}

}  // namespace

bool init(std::string* err) {
  Transport& t = transport();
  if (t.ready.load(std::memory_order_acquire)) return true;
  const gpu::detail::EglBootstrap* egl = gpu::detail::egl_bootstrap();
  if (!egl) return fail(err, "libEGL.so.1 / eglGetProcAddress not available");
  if (!egl->get_current_context()) return fail(err, "no current EGL context on this thread");
  Api api;
  if (const char* missing = resolve(*egl, false, api)) return fail(err, missing);
  if (const char* missing = resolve(*egl, true, api)) return fail(err, missing);
  t.api = api;  // the completion thread is not running: nothing else reads the table now

  std::lock_guard lock(t.mutex);
  while (int(t.ring.size()) < t.ring_size) t.ring.emplace_back();
  t.stop = false;
  if (!t.completion.joinable()) t.completion = std::thread(complete_readbacks);
  ensure_copy_workers(4);
  t.ready.store(true, std::memory_order_release);
  return true;
}

bool ready() { return transport().ready.load(std::memory_order_acquire); }

std::uint64_t start(std::uint32_t fbo, std::uint32_t restore_fbo, int x, int y, int width,
                    int height, int channels, void* dst, std::uint32_t* stamp,
                    std::uint32_t stamp_value, std::function<void()> on_done) {
  Transport& t = transport();
  ReadbackPlan plan;
  if (!t.ready.load(std::memory_order_acquire) || width < 1 || height < 1 ||
      (channels != 2 && channels != 4) || !dst || !plan_readback(y, width, height, channels, &plan))
    return 0;
  const Api& gl = t.api;

  const int slot_index = claim_slot(t, plan.bytes);
  Slot& slot = t.ring[slot_index];  // busy: ours without the lock until the job completes
  if (!provide_buffer(t, slot, plan.bytes, plan.buffer_bytes)) {
    free_slot(t, slot_index);
    return 0;
  }
  Job job;
  job.slot = slot_index;
  job.display = gl.eglGetCurrentDisplay();
  gl.glBindBuffer(GL_PIXEL_PACK_BUFFER, slot.buffer);
  gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, fbo);
  gl.glReadBuffer(GL_COLOR_ATTACHMENT0);
  const bool fenced =
      read_bands(gl, job.display, plan, x, y, width, height, channels == 2 ? GL_RG : GL_RGBA, job);
  gl.glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
  gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, restore_fbo);
  gl.glFlush();
  if (!fenced) {
    for (int i = 0; i < job.band_count; ++i) {
      gl.eglClientWaitSyncKHR(job.display, job.bands[i].sync, 0, EGL_FOREVER_KHR);
      gl.eglDestroySyncKHR(job.display, job.bands[i].sync);
    }
    free_slot(t, slot_index);
    return 0;
  }

  job.dst = dst;
  job.bytes = plan.bytes;
  job.stamp = stamp;
  job.stamp_value = stamp_value;
  job.on_done = std::move(on_done);
  std::uint64_t ticket;
  {
    std::lock_guard lock(t.mutex);
    ticket = job.ticket = t.next_ticket++;
    t.queue.push(std::move(job));
  }
  t.signal.notify_all();
  return ticket;
}

bool done(std::uint64_t ticket) {
  Transport& t = transport();
  std::lock_guard lock(t.mutex);
  return ticket >= t.next_ticket || t.completed_ticket >= ticket;
}

int pending() {
  Transport& t = transport();
  std::lock_guard lock(t.mutex);
  return int(t.next_ticket - 1 - t.completed_ticket);
}

void wait(std::uint64_t ticket) {
  Transport& t = transport();
  std::unique_lock lock(t.mutex);
  if (ticket >= t.next_ticket) return;
  t.signal.wait(lock, [&] { return t.completed_ticket >= ticket; });
}

void wait_all() {
  Transport& t = transport();
  std::unique_lock lock(t.mutex);
  const std::uint64_t target = t.next_ticket - 1;
  t.signal.wait(lock, [&] { return t.completed_ticket >= target; });
}

TransportStats stats() {
  Transport& t = transport();
  std::lock_guard lock(t.mutex);
  return t.stats;
}

void set_ring_size(int n) {
  Transport& t = transport();
  std::lock_guard lock(t.mutex);
  t.ring_size = n < 2 ? 1 : n >= MAX_SLOTS ? MAX_SLOTS : n;
  while (int(t.ring.size()) < t.ring_size) t.ring.emplace_back();
}

void close() {
  Transport& t = transport();
  if (!t.ready.load(std::memory_order_acquire)) return;
  wait_all();
  {
    std::lock_guard lock(t.mutex);
    t.stop = true;
  }
  t.signal.notify_all();
  t.completion.join();  // after the last callback has returned
  std::size_t slots;
  {
    std::lock_guard lock(t.mutex);
    slots = t.ring.size();
  }
  // Every slot is free and the completion thread gone: the buffer fields are the GL thread's.
  for (std::size_t i = 0; i < slots; ++i)
    if (t.ring[i].buffer) release_buffer(t.api, t.ring[i]);
  t.ready.store(false, std::memory_order_release);
}

}  // namespace qn::transport
