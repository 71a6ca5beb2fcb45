// quarn/graph/result_cache.h — which node results exist, where the host keeps them, and which
// to give back when memory runs short.
//
// A ResultCache maps node keys to the host's slots (e.g. texture names). Every entry sits in one
// of two recency lists, unpinned [0] and pinned [1], least recent at the head. Memory is counted
// per resource, not per entry: an entry lists the (resource id, bytes) pairs its result occupies,
// and a resource shared by several entries counts once, against the pinned total while any
// pinned holder has it, else against the unpinned total. `evict` removes least recent entries
// until both totals are within limits and reports what left; the host frees those slots.
//
// Touch phase: the host sets `touching`, then every get/put with `pin` records its key;
// `end_touch` keeps recorded (and listed) keys pinned and moves every other pinned entry to the
// recent end of the unpinned list, where eviction finds it first.
//
// Owns its entries and maps; never owns, allocates or frees the host's results. No locking: one
// thread at a time per cache. No operation reports errors: absent keys give -1, false or
// nothing; entry numbers and kinds that name no live entry or list are ignored. Allocation
// failures propagate as std::bad_alloc.
//
// Steady state allocates nothing: entries, their `refs` storage and map slots are reused, so
// put / get / end_touch / evict (the overload that fills a caller's vector) run without touching
// the heap once the cache has reached its working size.
//
// Data members are public so the host can read them; it writes only `touching`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "quarn/export.h"
#include "quarn/graph/flat_map.h"

namespace qn::graph {

/// What leaves the cache (pop1, evict).
struct CachePopped {
  long key;
  long slot;
  bool flag;
  double value;
  bool pinned;  // the entry was in the pinned list
};

class QN_API ResultCache {
 public:
  struct Entry {
    long key = 0;
    long slot = -1;                           // -1 once removed
    double value = 0;                         // caller's number, handed back when the entry leaves
    std::int32_t prev = -1;                   // toward the head (less recent) of its list
    std::int32_t next = -1;                   // toward the tail (more recent)
    std::int32_t list = 0;                    // 0 unpinned, 1 pinned
    bool flag = false;                        // caller's flag, handed back when the entry leaves
    std::vector<std::pair<long, long>> refs;  // (resource id, bytes)
  };

  /// Hold record of one resource. Its class: pinned-held when holds[1] != 0, else unpinned-held
  /// when holds[0] != 0, else not held (and then there is no record).
  struct Ref {
    long bytes;
    std::array<std::int32_t, 2> holds;  // by unpinned holders, by pinned holders
  };

  std::vector<Entry> entries;                // by entry number; removed entries stay for reuse
  std::vector<std::int32_t> free_list;       // reusable entry numbers, last in first out
  FlatMap<int> index;                        // node key -> entry number, live entries only
  std::array<std::int32_t, 2> head{-1, -1};  // least recent entry of each list
  std::array<std::int32_t, 2> tail{-1, -1};  // most recent entry of each list
  std::array<std::size_t, 2> sizes{0, 0};    // entries in each list
  FlatMap<Ref> held;                         // resource id -> hold record
  std::array<long, 2> totals{0, 0};          // bytes of unpinned-held, pinned-held resources
  bool touching = false;                     // a touch phase is open (set by the host)
  FlatMap<char> touched;                     // keys touched in the open phase

  /// Stores a result under `key` at the recent end of the pinned (`pin`) or unpinned list,
  /// holding the n pairs of `refs` (null with n > 0 counts as no refs). Replaces an entry with
  /// the same key, reusing its number. Returns the slot the key had before, or -1. Never evicts.
  long put(long key, long slot, const std::pair<long, long>* refs, unsigned long n, bool flag,
           double value, bool pin);

  /// The key's slot, or -1. Refreshes the entry's recency in its list; with `pin` an unpinned
  /// entry moves to the pinned list, and during a touch phase the key is recorded as touched
  /// whether or not it is cached.
  long get(long key, bool pin);

  /// Moves the entry to the recent end of the pinned or unpinned list (also when it is already
  /// there). Absent keys are ignored.
  void move(long key, bool pinned);

  /// Removes the key's entry and describes it in `out`; false (and `out` untouched) if absent.
  bool pop1(long key, CachePopped& out);

  /// Removes least recent unpinned entries while the unpinned total exceeds `limit_unpinned`,
  /// then least recent pinned entries while the pinned total exceeds `limit_pinned`; returns
  /// them in removal order. A list may empty without its total falling under the limit.
  std::vector<CachePopped> evict(long limit_unpinned, long limit_pinned);
  /// The same, filling `out` (cleared first, capacity kept) so that it allocates nothing.
  void evict(long limit_unpinned, long limit_pinned, std::vector<CachePopped>& out);

  /// Pins `keys` that are cached, unpins every pinned entry neither listed nor touched (they
  /// reach the unpinned recent end in their pinned order), and closes the touch phase.
  void end_touch(const std::vector<long>& keys);

  /// Adds `delta` to the hold counter `kind` (0 or 1) of each (id, bytes) resource and moves
  /// its bytes between the totals when its class changes. A new record takes the pair's bytes;
  /// a negative delta on an unrecorded resource does nothing.
  void hold(const std::vector<std::pair<long, long>>& items, int kind, int delta);

  /// Removes the live entry with this number (ignored when it names no live entry).
  void remove(int entry);

  /// Keys of the pinned or unpinned list, least recent first.
  std::vector<long> keys(bool pinned) const;
  /// Slots of every entry: the unpinned list, then the pinned list, each least recent first.
  std::vector<long> slots() const;
  bool in_unpinned(long key) const;

  /// Forgets everything without reporting it (read `slots()` first); map capacities stay.
  void clear();

  /// List primitives; they leave the holds alone. link_back appends a live, unlinked entry at
  /// the recent end of list 0 or 1; unlink_order splices a linked entry out of its list (its
  /// `list` keeps its value). Entry numbers out of range, lists other than 0 and 1, removed
  /// entries, and entries already in (link_back) or not in (unlink_order) a list are ignored.
  void link_back(int entry, int list);
  void unlink_order(int entry);
};

}  // namespace qn::graph
