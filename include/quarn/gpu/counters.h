// quarn/gpu/counters.h — the GPU layer's process-wide counters: draws made by `draw` (and
// announced with `count_draw`), uniform uploads made and uniform uploads avoided by the
// program registry.
//
// Owns: the one `DrawStats` record of the process.
//
// Threads: the host's GL thread only; nothing is locked and the counters are plain integers.
#pragma once

#include <cstdint>

#include "quarn/export.h"

namespace qn::gpu {

/// Process-wide counters, read (and reset, if it likes) by the host.
struct DrawStats {
  std::uint64_t draws = 0;            // draws made, plus `count_draw` calls
  std::uint64_t uniform_uploads = 0;  // uniform uploads made
  std::uint64_t uniform_skips = 0;    // uniform uploads avoided
};

/// The process-wide counters.
QN_API DrawStats& stats();

/// Counts a draw that the caller issued through its own GL calls. No GL call.
QN_API void count_draw();

}  // namespace qn::gpu
