// quarn/graph/flat_map.h — a hash map from signed 64-bit keys to small values.
//
// The map behind every lookup of the result cache: node key -> entry number, resource id ->
// hold record, and the set of keys touched in a touch phase. Open addressing with linear probing
// over one contiguous array, backward-shift deletion (no tombstones), load at most 3/4. The
// design notes and a picture of probe runs are in quarn/graph/internal/flat_map_table.h.
//
// Owns its slot array and nothing else. No locking: one thread at a time per map.
// Never fails except by std::bad_alloc when it grows. Every key is an ordinary key, 0 and
// negative keys included.
//
// Cost: one allocation per growth and none per entry; a table grows only on insert (capacity 64,
// then doubling) and never shrinks, so a steady mix of insert and erase allocates nothing.
#pragma once

#include "quarn/graph/internal/flat_map_table.h"

namespace qn::graph {

/// `V` must be trivially copyable and value-initialisable; a free slot holds `V{}`.
///
///   std::pair<V*, bool> insert(long key)  finds or adds `key`; true when added, with the value
///                                          zero-initialised. Grows first when the table is at
///                                          3/4 load, even if `key` is present. The pointer stays
///                                          valid until the next insert or erase.
///   V* find(long key)                      the value, or nullptr. Never probes an empty table.
///   bool erase(long key)                   removes `key`; false when it was absent.
///   void clear()                           removes every key; the capacity stays.
///   size(), empty(), capacity()            live keys; slots in the table (0 or 2^k >= 64).
///   for_each(fn)                           fn(key, value) for every key, in table order.
template <class V>
class FlatMap : public internal::FlatMapTable<V> {};

}  // namespace qn::graph
