// quarn/graph/schedule.h — which nodes one request must evaluate, and which the cache serves.
//
// A Schedule holds the nodes of one request in upstream-first order (node i reads only nodes
// < i) with the request's target last. `run` walks back from the target against a ResultCache:
// a node found in the cache is served from its slot and, unless told otherwise, cuts off its
// whole upstream subgraph; a node that must run pulls in its inputs. The RunPlan lists the
// needed nodes upstream first, which of them run, the slots of the others and how many reads
// each result will get.
//
// Owns its arrays; the cache it runs against is the caller's. Immutable after `build`: several
// threads may run one schedule at once if each uses its own cache (the cache is single-threaded).
//
// Failures: std::out_of_range from `ups` for a node outside 0 .. n-1 (the standard library's
// range-check message), and from `run` when `keys` is shorter than a needed node's index + 1 or
// an upstream index lies outside 0 .. n-1; lookups made before the throw stay in the cache.
// Upstream indices not smaller than their node's give a meaningless (but safe) plan.
#pragma once

#include <cstdint>
#include <vector>

#include "quarn/export.h"
#include "quarn/graph/result_cache.h"

namespace qn::graph {

/// What one run decided. `run`, `slots` and `uses` have one entry per node of the schedule.
struct RunPlan {
  std::vector<std::int32_t> order;  // every needed node, ascending: evaluate or fetch in order
  std::vector<std::uint8_t> run;    // 1: evaluate (never cached, or not in the cache)
  std::vector<long> slots;          // cache slot of a node served from the cache, else -1
  std::vector<std::int32_t> uses;   // reads of this node's result by the nodes of `order`
};

class QN_API Schedule {
 public:
  /// Bits of each `flags` byte; other bits are ignored.
  static constexpr std::uint8_t kNeverCached = 1;    // always runs, never looked up
  static constexpr std::uint8_t kIgnoresInputs = 2;  // when it runs, it does not read inputs
  static constexpr std::uint8_t kInputsAlways = 4;   // inputs needed even when served from cache

  /// Node i's upstream indices are up_nodes[up_starts[i] .. up_starts[i+1]).
  std::vector<std::int32_t> up_starts{0};
  std::vector<std::int32_t> up_nodes;
  std::vector<std::uint8_t> flags;  // n entries; n is the number of nodes

  /// Copies the upstream lists and moves `flags` in, padded with 0 or cut to the number of
  /// lists. Indices are not checked here.
  void build(const std::vector<std::vector<int>>& ups, std::vector<unsigned char> flags);

  /// A copy of node i's upstream list; std::out_of_range when i is not a node.
  std::vector<int> ups(int i) const;

  /// Decides the request against `cache` with keys[i] as node i's key. Looks up each needed node
  /// that may be cached exactly once, in descending index order, passing `pin` to the lookup.
  RunPlan run(const std::vector<long>& keys, ResultCache& cache, bool pin) const;
};

}  // namespace qn::graph
