// bench/cache_frames.h — the result cache's steady-state workload.
// One frame: a touch phase with two pinned hits and one miss, a put of the new result with two
// resources (one shared with the previous frame), end_touch keeping this frame's and the last
// frame's results, and an evict down to the limits, which removes one old entry.
#pragma once

#include <utility>
#include <vector>

#include "quarn/graph/result_cache.h"

namespace qn_test {

struct CacheFrames {
  static constexpr long kEntryBytes = 4096;
  static constexpr long kLimit = 256 * kEntryBytes;

  qn::graph::ResultCache cache;
  std::vector<long> keep{0, 0};
  std::vector<qn::graph::CachePopped> popped;
  std::pair<long, long> refs[2];
  long frame = 0;

  void step() {
    cache.touching = true;
    for (long key : {frame - 1, frame - 2, -1L}) cache.get(key, true);
    refs[0] = {frame, kEntryBytes};
    refs[1] = {1'000'000'000 + frame / 2, 64};
    cache.put(frame, frame, refs, 2, false, 0.5, true);
    keep = {frame, frame - 1};
    cache.end_touch(keep);
    cache.evict(kLimit, kLimit, popped);
    ++frame;
  }
};

}  // namespace qn_test
