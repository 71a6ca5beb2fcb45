#include "quarn/graph/result_cache.h"

namespace qn::graph {
namespace {

// Counters and byte totals come from the host; they wrap instead of overflowing.
std::int32_t add_wrapping(std::int32_t a, int b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
long add_wrapping(long a, long b) {
  return static_cast<long>(static_cast<unsigned long>(a) + static_cast<unsigned long>(b));
}
long sub_wrapping(long a, long b) {
  return static_cast<long>(static_cast<unsigned long>(a) - static_cast<unsigned long>(b));
}

constexpr int kNoClass = -1;

int class_of(const ResultCache::Ref& r) {
  if (r.holds[1] != 0) return 1;
  if (r.holds[0] != 0) return 0;
  return kNoClass;
}

}  // namespace

// ---- list primitives -------------------------------------------------------------------------

bool ResultCache::is_linked(std::size_t e) const {
  const Entry& x = entries[e];
  return x.prev != -1 || head[static_cast<std::size_t>(x.list)] == static_cast<std::int32_t>(e);
}

void ResultCache::link_back(int entry, int list) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries.size() || (list != 0 && list != 1))
    return;
  Entry& x = entries[static_cast<std::size_t>(entry)];
  const int* live = index.find(x.key);
  if (!live || *live != entry) return;
  if ((x.list == 0 || x.list == 1) && is_linked(static_cast<std::size_t>(entry))) return;
  const auto l = static_cast<std::size_t>(list);
  x.list = list;
  x.prev = tail[l];
  x.next = -1;
  if (tail[l] == -1)
    head[l] = entry;
  else
    entries[static_cast<std::size_t>(tail[l])].next = entry;
  tail[l] = entry;
  ++sizes[l];
}

void ResultCache::unlink_order(int entry) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries.size()) return;
  Entry& x = entries[static_cast<std::size_t>(entry)];
  if ((x.list != 0 && x.list != 1) || !is_linked(static_cast<std::size_t>(entry))) return;
  const auto l = static_cast<std::size_t>(x.list);
  if (x.prev == -1)
    head[l] = x.next;
  else
    entries[static_cast<std::size_t>(x.prev)].next = x.next;
  if (x.next == -1)
    tail[l] = x.prev;
  else
    entries[static_cast<std::size_t>(x.next)].prev = x.prev;
  x.prev = x.next = -1;
  --sizes[l];
}

// ---- holding ---------------------------------------------------------------------------------

void ResultCache::hold(const std::vector<std::pair<long, long>>& items, int kind, int delta) {
  if (kind != 0 && kind != 1) return;
  for (const auto& [id, bytes] : items) {
    Ref* r = held.find(id);
    if (!r) {
      if (delta < 0) continue;
      r = held.insert(id).first;
      r->bytes = bytes;
    }
    const int before = class_of(*r);
    r->holds[static_cast<std::size_t>(kind)] =
        add_wrapping(r->holds[static_cast<std::size_t>(kind)], delta);
    const int after = class_of(*r);
    if (before != after) {
      if (before != kNoClass)
        totals[static_cast<std::size_t>(before)] =
            sub_wrapping(totals[static_cast<std::size_t>(before)], r->bytes);
      if (after != kNoClass)
        totals[static_cast<std::size_t>(after)] =
            add_wrapping(totals[static_cast<std::size_t>(after)], r->bytes);
    }
    if (after == kNoClass) held.erase(id);
  }
}

// ---- entries ---------------------------------------------------------------------------------

void ResultCache::remove_live(std::int32_t e) {
  Entry& x = entries[static_cast<std::size_t>(e)];
  unlink_order(e);
  hold(x.refs, x.list, -1);
  index.erase(x.key);
  x.slot = -1;
  x.refs.clear();
  free_list.push_back(e);
}

void ResultCache::remove(int entry) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries.size()) return;
  const int* live = index.find(entries[static_cast<std::size_t>(entry)].key);
  if (live && *live == entry) remove_live(entry);
}

void ResultCache::move_entry(std::int32_t e, int list) {
  Entry& x = entries[static_cast<std::size_t>(e)];
  unlink_order(e);
  hold(x.refs, x.list, -1);
  link_back(e, list);
  hold(x.refs, list, +1);
}

long ResultCache::put(long key, long slot, const std::pair<long, long>* refs, unsigned long n,
                      bool flag, double value, bool pin) {
  long old_slot = -1;
  if (const int* e = index.find(key)) {
    old_slot = entries[static_cast<std::size_t>(*e)].slot;
    remove_live(*e);
  }
  std::int32_t e;
  if (!free_list.empty()) {
    e = free_list.back();
    free_list.pop_back();
  } else {
    e = static_cast<std::int32_t>(entries.size());
    entries.emplace_back();
  }
  Entry& x = entries[static_cast<std::size_t>(e)];
  x.key = key;
  x.slot = slot;
  x.value = value;
  x.flag = flag;
  if (refs)
    x.refs.assign(refs, refs + n);
  else
    x.refs.clear();
  *index.insert(key).first = e;
  link_back(e, pin ? 1 : 0);
  hold(x.refs, x.list, +1);
  if (pin && touching) touched.insert(key);
  return old_slot;
}

long ResultCache::get(long key, bool pin) {
  if (pin && touching) touched.insert(key);
  const int* found = index.find(key);
  if (!found) return -1;
  const std::int32_t e = *found;
  const int list = entries[static_cast<std::size_t>(e)].list;
  if (list == 1 || !pin) {
    // A refresh within the same list leaves the holds alone.
    unlink_order(e);
    link_back(e, list);
  } else {
    move_entry(e, 1);
  }
  return entries[static_cast<std::size_t>(e)].slot;
}

void ResultCache::move(long key, bool pinned) {
  if (const int* e = index.find(key)) move_entry(*e, pinned ? 1 : 0);
}

CachePopped ResultCache::describe(const Entry& e) const {
  return CachePopped{e.key, e.slot, e.flag, e.value, e.list == 1};
}

bool ResultCache::pop1(long key, CachePopped& out) {
  const int* e = index.find(key);
  if (!e) return false;
  out = describe(entries[static_cast<std::size_t>(*e)]);
  remove_live(*e);
  return true;
}

void ResultCache::evict(long limit_unpinned, long limit_pinned, std::vector<CachePopped>& out) {
  out.clear();
  const std::array<long, 2> limits{limit_unpinned, limit_pinned};
  for (std::size_t l = 0; l < 2; ++l) {
    while (totals[l] > limits[l] && head[l] != -1) {
      const std::int32_t e = head[l];
      out.push_back(describe(entries[static_cast<std::size_t>(e)]));
      remove_live(e);
    }
  }
}

std::vector<CachePopped> ResultCache::evict(long limit_unpinned, long limit_pinned) {
  std::vector<CachePopped> out;
  evict(limit_unpinned, limit_pinned, out);
  return out;
}

void ResultCache::end_touch(const std::vector<long>& keys) {
  for (long k : keys) {
    const int* e = index.find(k);
    if (e && entries[static_cast<std::size_t>(*e)].list == 0) move_entry(*e, 1);
    touched.insert(k);
  }
  // Unpinning appends to the other list, so the pinned list can be walked while it shrinks.
  for (std::int32_t e = head[1]; e != -1;) {
    const Entry& x = entries[static_cast<std::size_t>(e)];
    const std::int32_t next = x.next;
    if (!touched.find(x.key)) move_entry(e, 0);
    e = next;
  }
  touching = false;
  touched.clear();
}

// ---- reading ---------------------------------------------------------------------------------

std::vector<long> ResultCache::keys(bool pinned) const {
  std::vector<long> out;
  const std::size_t l = pinned ? 1 : 0;
  out.reserve(sizes[l]);
  for (std::int32_t e = head[l]; e != -1; e = entries[static_cast<std::size_t>(e)].next)
    out.push_back(entries[static_cast<std::size_t>(e)].key);
  return out;
}

std::vector<long> ResultCache::slots() const {
  std::vector<long> out;
  out.reserve(sizes[0] + sizes[1]);
  for (std::size_t l = 0; l < 2; ++l)
    for (std::int32_t e = head[l]; e != -1; e = entries[static_cast<std::size_t>(e)].next)
      out.push_back(entries[static_cast<std::size_t>(e)].slot);
  return out;
}

bool ResultCache::in_unpinned(long key) const {
  const int* e = index.find(key);
  return e && entries[static_cast<std::size_t>(*e)].list == 0;
}

void ResultCache::clear() {
  entries.clear();
  free_list.clear();
  index.clear();
  held.clear();
  touched.clear();
  head = {-1, -1};
  tail = {-1, -1};
  sizes = {0, 0};
  totals = {0, 0};
  touching = false;
}

}  // namespace qn::graph
