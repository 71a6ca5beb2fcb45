// quarn/graph/internal/flat_map_table.h — the open-addressing table behind qn::graph::FlatMap.
//
// Not part of the interface: include quarn/graph/flat_map.h. Everything here may change.
//
// Design notes
// ============
//
// One contiguous array of slots, each {key, value, used}. The capacity is 0 or a power of two of
// at least 64, so the home slot of a key is `fmix64(key) & mask` and a probe steps by +1 with the
// same mask. The load never exceeds 3/4 after an insert: the growth check runs first on every
// insert (even of a key already present), so the table doubles when the next key could push it
// past 3/4. Growth allocates the new array once and re-inserts the used slots in array order.
//
// Probe runs. A run is a maximal stretch of used slots; every key lives in the run that contains
// its home slot, at or after its home (cyclically). Lookups stop at the first free slot:
//
//     index:   0   1   2   3   4   5   6   7        (capacity 8 for the picture; really >= 64)
//     slot:  [ g ][   ][ a ][ b ][ c ][   ][ e ][ f ]
//     home:    6        2   2   3        6   7
//
//   find(b): home 2 -> 'a' no -> 'b' yes.        find(x) with home 3: 'b', 'c', free -> absent.
//   The run {6, 7, 0} wraps past the end: 'g' has home 6 and sits in slot 0.
//
// Backward-shift deletion. There are no tombstones. Erasing slot i leaves a hole; walking j
// forward through the rest of the run, each key whose home is NOT in the cyclic range (i, j]
// would become unreachable across the hole, so it moves back into the hole and the hole moves
// to j. Keys whose home lies in (i, j] stay. The run ends at a free slot; the last hole is freed.
//
//     erase(a) in the picture above (i = 2):
//       j = 3 'b' home 2, not in (2, 3] -> move b to 2, hole at 3
//       j = 4 'c' home 3, not in (3, 4] -> move c to 3, hole at 4
//       j = 5 free -> stop, free slot 4
//     slot:  [ g ][   ][ b ][ c ][   ][   ][ e ][ f ]
//
//   For a run that wrapped (i > j) the range (i, j] is "h > i or h <= j", so the test for
//   "move" becomes "h <= i and h > j".
//
// Because nothing marks deleted slots, probe lengths depend only on the live load, and a
// steady mix of erase and insert never degrades the table or allocates.
//
// Memory. A lookup in a large table is one random access into a big array, so its cost is a
// cache miss plus, with 4 KiB pages, a TLB miss and page walk. Tables of `kHugeTableBytes` and
// more are therefore placed on 2 MiB boundaries and offered to the kernel for transparent huge
// pages (madvise), which keeps a table of tens of megabytes inside the TLB's reach. Smaller
// tables come from the ordinary allocator. Either way a growth is one allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "quarn/export.h"

namespace qn::graph::internal {

/// Slot arrays of this many bytes and more are huge-page backed.
inline constexpr std::size_t kHugeTableBytes = std::size_t{4} << 20;

/// 2 MiB-aligned memory for `bytes` (rounded up to 2 MiB), advised for huge pages; throws
/// std::bad_alloc. Release with `release_huge_table` and the same `bytes`.
QN_API void* allocate_huge_table(std::size_t bytes);
QN_API void release_huge_table(void* p, std::size_t bytes) noexcept;

/// The slot array's allocator: the ordinary heap below `kHugeTableBytes`, huge pages above.
template <class T>
struct TableAllocator {
  using value_type = T;
  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) < kHugeTableBytes) return std::allocator<T>().allocate(n);
    return static_cast<T*>(allocate_huge_table(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kHugeTableBytes) return std::allocator<T>().deallocate(p, n);
    release_huge_table(p, n * sizeof(T));
  }
  template <class U>
  bool operator==(const TableAllocator<U>&) const noexcept {
    return true;
  }
};

/// MurmurHash3's 64-bit finaliser: every input bit reaches every output bit.
inline std::uint64_t fmix64(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ULL;
  x ^= x >> 33;
  return x;
}

template <class V>
class FlatMapTable {
 public:
  /// One cell of the table. A free slot has `used` false and a value-initialised `value`.
  struct Slot {
    long key;
    V value;
    bool used;
  };

  static constexpr std::size_t kMinCapacity = 64;

  std::pair<V*, bool> insert(long key) {
    if (3 * slots_.size() < 4 * (count_ + 1)) grow();
    std::size_t i = home(key);
    for (;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.used) {
        s.key = key;
        s.used = true;
        ++count_;
        return {&s.value, true};
      }
      if (s.key == key) return {&s.value, false};
    }
  }

  V* find(long key) {
    std::size_t i = locate(key);
    return i == kAbsent ? nullptr : &slots_[i].value;
  }
  const V* find(long key) const {
    std::size_t i = locate(key);
    return i == kAbsent ? nullptr : &slots_[i].value;
  }

  bool erase(long key) {
    std::size_t i = locate(key);
    if (i == kAbsent) return false;
    for (std::size_t j = (i + 1) & mask_; slots_[j].used; j = (j + 1) & mask_) {
      std::size_t h = home(slots_[j].key);
      bool stays = i < j ? (h > i && h <= j) : (h > i || h <= j);
      if (stays) continue;
      slots_[i].key = slots_[j].key;
      slots_[i].value = slots_[j].value;
      i = j;
    }
    slots_[i].used = false;
    slots_[i].value = V{};
    --count_;
    return true;
  }

  void clear() {
    for (Slot& s : slots_) {
      s.used = false;
      s.value = V{};
    }
    count_ = 0;
  }

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::size_t capacity() const { return slots_.size(); }

  /// Calls fn(key, value) for every key, in slot order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (const Slot& s : slots_)
      if (s.used) fn(s.key, s.value);
  }

 private:
  std::size_t home(long key) const {
    return static_cast<std::size_t>(fmix64(static_cast<std::uint64_t>(key))) & mask_;
  }

  static constexpr std::size_t kAbsent = ~std::size_t{0};

  std::size_t locate(long key) const {
    if (count_ == 0) return kAbsent;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.used) return kAbsent;
      if (s.key == key) return i;
    }
  }

  void grow() {
    Slots old(slots_.empty() ? kMinCapacity : 2 * slots_.size(), Slot{0, V{}, false});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    count_ = 0;
    for (const Slot& s : old) {
      if (!s.used) continue;
      std::size_t i = home(s.key);
      while (slots_[i].used) i = (i + 1) & mask_;
      slots_[i] = s;
      ++count_;
    }
  }

  using Slots = std::vector<Slot, TableAllocator<Slot>>;
  Slots slots_;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
};

}  // namespace qn::graph::internal
