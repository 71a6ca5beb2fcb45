// quarn/graph/walk.h — incremental node keys over the host's node graph.
//
// A Walk keeps one 64-bit key per node and brings the keys up to date after edits with one
// forward pass. Nodes come in upstream-first order: node i depends only on nodes < i, so an
// ascending pass visits every node after all of its upstream nodes. The host owns the nodes,
// their parameters and the rule that makes a key (see Record::typed_hash); the walk decides
// whom to ask and carries only real key changes downstream.
//
// Owns its arrays; holds no pointer into the host. No locking: one thread at a time per Walk,
// and the callback runs on the calling thread.
//
// Fails with std::invalid_argument (the object is then exactly as it was before the call):
//   "graph.Walk.build: sizes differ"          upstream lists or flags differ in count from keys
//   "graph.Walk.build: not upstream first"    an upstream index < 0 or >= its node's index
//   "graph.Walk.walk: keys resized since build"  the host changed the length of `keys`
// An empty callback raises std::bad_function_call at the first node that needs a call;
// exceptions from the callback pass through, with `keys` holding the updates made before it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "quarn/export.h"

namespace qn::graph {

class QN_API Walk {
 public:
  /// Node i's upstream indices are up_nodes[up_starts[i] .. up_starts[i+1]).
  std::vector<std::int32_t> up_starts{0};
  std::vector<std::int32_t> up_nodes;
  /// Non-zero: the node is asked on every walk, even when nothing upstream changed.
  std::vector<std::uint8_t> flags;
  /// Scratch: 1 for the nodes named dirty during a walk; all 0 between walks.
  std::vector<std::uint8_t> marks;
  /// 1 for the nodes whose key changed in the last walk.
  std::vector<std::uint8_t> changed;
  /// The current key of every node. The host may read and overwrite values, never resize.
  std::vector<long> keys;
  /// The nodes whose key changed in the last walk, ascending. `build` leaves it alone.
  std::vector<std::int32_t> changed_list;

  /// Replaces the whole graph. ups[i] lists node i's upstream indices (repeats allowed, order
  /// free); flags and keys are moved in. The input is validated in full before anything changes.
  void build(std::vector<std::vector<int>> ups, std::vector<unsigned char> flags,
             std::vector<long> keys);

  /// Runs one forward pass and returns how many times `fn` was called. fn(i, upstream_changed)
  /// is called at most once per node, in ascending order, for nodes that are dirty (true), have
  /// an upstream node whose key changed in this walk (true), or are flagged or `all` is set
  /// (false). It returns the new key, or nothing when the key is unchanged; when it runs,
  /// `keys` already holds the new keys of i's upstream nodes. Dirty entries outside 0 .. n-1 are
  /// ignored. Allocates only when `changed_list` grows.
  int walk(const std::vector<int>& dirty, bool all,
           const std::function<std::optional<long>(int, bool)>& fn);
};

}  // namespace qn::graph
