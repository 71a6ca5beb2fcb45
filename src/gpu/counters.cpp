#include "quarn/gpu/counters.h"

namespace qn::gpu {
namespace {

DrawStats g_stats;

}  // namespace

DrawStats& stats() { return g_stats; }

void count_draw() { ++g_stats.draws; }

}  // namespace qn::gpu
