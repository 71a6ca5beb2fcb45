#include "quarn/nodes/filter/scratch.h"

#include <GL/glcorearb.h>

#include <deque>
#include <unordered_map>

#include "gpu/egl_bootstrap.h"
#include "nodes/filter/filter_gl.h"

namespace qn::nodes::filter {
namespace detail {

#define QN_FILTER_GL_DEFINE_(name, ret, params) name##Proc name = nullptr;
QN_FILTER_GL_ENTRY_POINTS(QN_FILTER_GL_DEFINE_)
#undef QN_FILTER_GL_DEFINE_

namespace {

// The pool, front = most recently released, and its bookkeeping.
std::deque<Tex> g_pool;
std::uint64_t g_held = 0;
std::uint64_t g_pooled = 0;
std::uint64_t g_cap = DEFAULT_SCRATCH_CAP;
unsigned g_sampler = 0;
gl::EglContext g_entry_context = nullptr;  // context the eight pointers were loaded for
FilterStats g_stats;

// Looks the eight entry points up in order, storing each; stops at the first that is missing.
bool load_entry_points() {
  const gpu::detail::EglBootstrap* egl = gpu::detail::egl_bootstrap();
  if (!egl) return false;
#define QN_FILTER_GL_RESOLVE_(name, ret, params)                          \
  name = reinterpret_cast<name##Proc>(egl->get_proc_address("gl" #name)); \
  if (!name) return false;
  QN_FILTER_GL_ENTRY_POINTS(QN_FILTER_GL_RESOLVE_)
#undef QN_FILTER_GL_RESOLVE_
  return true;
}

// Every pooled or held texture passed `scratch_bytes` when its plan was checked.
std::uint64_t bytes_of(int w, int h) {
  std::uint64_t bytes = 0;
  (void)scratch_bytes(w, h, &bytes);
  return bytes;
}

}  // namespace

bool gl_ready() {
  gl::EglContext current = gl::current_context();
  if (!current || current != gl::loaded_context()) return false;
  if (current == g_entry_context) return true;
  if (!load_entry_points()) return false;
  g_entry_context = current;
  return true;
}

bool scratch_bytes(int w, int h, std::uint64_t* bytes) {
  if (w <= 0 || h <= 0) return false;
  // Both factors are below 2^31, so the product is below 2^62 and times 16 below 2^66: check
  // the last step only.
  std::uint64_t pixels = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
  if (pixels > UINT64_MAX / 16) return false;
  *bytes = pixels * 16;
  return true;
}

Tex acquire(int w, int h, unsigned bound_fbo) {
  const std::uint64_t bytes = bytes_of(w, h);
  for (auto it = g_pool.begin(); it != g_pool.end(); ++it) {
    if (it->width != w || it->height != h) continue;
    const Tex t = *it;
    g_pooled -= bytes;
    g_pool.erase(it);
    ++g_stats.reused;
    g_held += bytes;
    return t;
  }
  GLuint tex = 0, fbo = 0;
  GenTextures(1, &tex);
  gl::BindTexture(GL_TEXTURE_2D, tex);
  TexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, w, h, 0, GL_RGBA, GL_FLOAT, nullptr);
  TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
  TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
  TexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  gl::BindTexture(GL_TEXTURE_2D, 0);
  GenFramebuffers(1, &fbo);
  gl::BindFramebuffer(GL_FRAMEBUFFER, fbo);
  FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, tex, 0);
  const GLenum attachment = GL_COLOR_ATTACHMENT0;
  DrawBuffers(1, &attachment);
  gl::BindFramebuffer(GL_FRAMEBUFFER, bound_fbo);
  ++g_stats.created;
  g_held += bytes;
  return Tex{tex, fbo, g_sampler, w, h};
}

void release(const Tex& t) {
  const std::uint64_t bytes = bytes_of(t.width, t.height);
  g_held -= bytes;
  g_pool.push_front(t);
  g_pooled += bytes;
}

void evict(std::uint64_t limit) {
  while (g_pooled > limit && !g_pool.empty()) {
    const Tex& e = g_pool.back();
    g_pooled -= bytes_of(e.width, e.height);
    DeleteFramebuffers(1, &e.framebuffer);
    DeleteTextures(1, &e.texture);
    ++g_stats.evicted;
    g_pool.pop_back();
  }
}

void refresh() {
  g_stats.bytes = g_held + g_pooled;
  if (g_stats.bytes > g_stats.peak) g_stats.peak = g_stats.bytes;
}

std::uint64_t cap() { return g_cap; }

}  // namespace detail

namespace {

// Nodes do not move, so pointers to records stay valid across inserts.
std::unordered_map<std::string, Prog>& programs() {
  static std::unordered_map<std::string, Prog> table;
  return table;
}

}  // namespace

const Prog* program_get(const std::string& frag) {
  auto it = programs().find(frag);
  return it == programs().end() ? nullptr : &it->second;
}

void program_set(const std::string& frag, const Prog& prog) { programs()[frag] = prog; }

void programs_clear() { programs().clear(); }

void scratch_cap(std::size_t bytes) { detail::g_cap = bytes; }

void scratch_trim(std::size_t bytes) {
  if (detail::gl_ready()) detail::evict(bytes);
  detail::refresh();
}

void scratch_sampler(unsigned sampler) {
  detail::g_sampler = sampler;
  for (auto& e : detail::g_pool) e.sampler = sampler;
}

FilterStats& stats() { return detail::g_stats; }

void note_fallback() { ++detail::g_stats.fallbacks; }

}  // namespace qn::nodes::filter
