// quarn/nodes/filter/scratch.h — the host's filter programs by fragment shader name, and the
// pool of float render targets that pass plans draw their intermediate images into.
//
// The library never compiles shaders. The host compiles each fragment shader, declares its
// uniforms to the GPU layer (quarn/gpu/program_registry.h) and registers the program here under
// the shader's file name ("blur_h.frag") with the vertex array it draws and the texture unit of
// each sampler.
//
// The pool owns its scratch textures and their framebuffers: GL_RGBA32F, one level, counted as
// width x height x 16 bytes. A plan takes a texture of an exact size (most recently released
// first, never a larger one), gives it back as soon as its last reader has drawn, and at the end
// of every run the pool is evicted, oldest first, down to the scratch cap. The pool calls eight
// GL entry points of its own, loaded through EGL the first time a run or trim sees a new
// current context.
//
// Threads: nothing here is locked. Every call, and every `Plan::run`, belongs to the thread
// whose current EGL context the GPU layer was loaded for.
//
// Failures: nothing is reported here; a plan that finds GL unusable returns -2. At process exit
// the pool is dropped without GL calls; call `scratch_trim(0)` with the context current to
// delete its GL objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quarn/export.h"

namespace qn::nodes::filter {

/// A host program registered for one fragment shader.
struct Prog {
  unsigned program = 0;  // GL program; also its key in the GPU layer's registry
  unsigned vao = 0;      // vertex array bound for the draw
  unsigned mode = 0;     // primitive mode of the indexed draw
  int count = 0;         // indices drawn
  std::vector<std::pair<std::string, int>> samplers;  // sampler uniform name, texture unit
};

/// Process-wide counters, read in place by the host.
struct FilterStats {
  std::uint64_t bytes = 0;      // held + pooled scratch bytes at the last refresh
  std::uint64_t peak = 0;       // largest `bytes` seen at a refresh
  std::uint64_t created = 0;    // scratch textures created
  std::uint64_t reused = 0;     // scratch textures taken from the pool
  std::uint64_t evicted = 0;    // pooled textures deleted
  std::uint64_t runs = 0;       // plan runs that found GL ready
  std::uint64_t draws = 0;      // draws issued by plan runs, failed ones included
  std::uint64_t fallbacks = 0;  // `note_fallback` calls (the host's own counter)
};

/// The default scratch cap: 512 MiB.
inline constexpr std::size_t DEFAULT_SCRATCH_CAP = 536870912;

/// The program registered under `frag`, or null. Valid until `programs_clear`; a later
/// `program_set` of the same name updates it in place.
QN_API const Prog* program_get(const std::string& frag);

/// Registers `prog` under `frag`, overwriting every field of an existing record.
QN_API void program_set(const std::string& frag, const Prog& prog);

/// Removes every registered program.
QN_API void programs_clear();

/// Sets the bytes the pool may keep between runs; applied at the end of each run.
QN_API void scratch_cap(std::size_t bytes);

/// With GL ready, deletes pooled textures (oldest first) until at most `bytes` remain pooled;
/// without, deletes nothing. Refreshes `bytes` and `peak` in both cases.
QN_API void scratch_trim(std::size_t bytes);

/// The sampler object bound with scratch textures: written into every pooled entry and used
/// for every texture created from now on. 0 (the default) binds none.
QN_API void scratch_sampler(unsigned sampler);

/// The process-wide counters.
QN_API FilterStats& stats();

/// Adds one to `fallbacks`.
QN_API void note_fallback();

}  // namespace qn::nodes::filter
