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

ResultCache::Entry& entry_at(ResultCache& c, std::int32_t e) {
  return c.entries[static_cast<std::size_t>(e)];
}
const ResultCache::Entry& entry_at(const ResultCache& c, std::int32_t e) {
  return c.entries[static_cast<std::size_t>(e)];
}

bool is_linked(const ResultCache& c, std::size_t e) {
  const ResultCache::Entry& x = c.entries[e];
  if (x.prev != -1) return true;
  return (x.list == 0 || x.list == 1) &&
         c.head[static_cast<std::size_t>(x.list)] == static_cast<std::int32_t>(e);
}

bool is_live(const ResultCache& c, std::size_t e) {
  const int* found = c.index.find(c.entries[e].key);
  return found && static_cast<std::size_t>(*found) == e;
}

// Appends unlinked entry e at the recent end of list l (0 or 1).
void append(ResultCache& c, std::int32_t e, int list) {
  ResultCache::Entry& x = entry_at(c, e);
  const auto l = static_cast<std::size_t>(list);
  x.list = list;
  x.prev = c.tail[l];
  x.next = -1;
  if (c.tail[l] == -1)
    c.head[l] = e;
  else
    entry_at(c, c.tail[l]).next = e;
  c.tail[l] = e;
  ++c.sizes[l];
}

// Splices entry e out of its list; an entry that is in no list is left alone.
void splice_out(ResultCache& c, std::int32_t e) {
  ResultCache::Entry& x = entry_at(c, e);
  if ((x.list != 0 && x.list != 1) || !is_linked(c, static_cast<std::size_t>(e))) return;
  const auto l = static_cast<std::size_t>(x.list);
  if (x.prev == -1)
    c.head[l] = x.next;
  else
    entry_at(c, x.prev).next = x.next;
  if (x.next == -1)
    c.tail[l] = x.prev;
  else
    entry_at(c, x.next).prev = x.prev;
  x.prev = x.next = -1;
  --c.sizes[l];
}

// Removes entry e, which must be live: out of its list, its holds released, its number freed.
void remove_live(ResultCache& c, std::int32_t e) {
  ResultCache::Entry& x = entry_at(c, e);
  splice_out(c, e);
  c.hold(x.refs, x.list, -1);
  c.index.erase(x.key);
  x.slot = -1;
  x.refs.clear();
  c.free_list.push_back(e);
}

// Moves live entry e to the recent end of `list`, its holds following it.
void move_entry(ResultCache& c, std::int32_t e, int list) {
  ResultCache::Entry& x = entry_at(c, e);
  splice_out(c, e);
  c.hold(x.refs, x.list, -1);
  append(c, e, list);
  c.hold(x.refs, list, +1);
}

CachePopped describe(const ResultCache::Entry& e) {
  return CachePopped{e.key, e.slot, e.flag, e.value, e.list == 1};
}

}  // namespace

// ---- list primitives -------------------------------------------------------------------------

void ResultCache::link_back(int entry, int list) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries.size() || (list != 0 && list != 1))
    return;
  const auto e = static_cast<std::size_t>(entry);
  if (!is_live(*this, e) || is_linked(*this, e)) return;
  append(*this, entry, list);
}

void ResultCache::unlink_order(int entry) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries.size()) return;
  splice_out(*this, entry);
}

// ---- holding ---------------------------------------------------------------------------------

void ResultCache::hold(const std::vector<std::pair<long, long>>& items, int kind, int delta) {
  if (kind != 0 && kind != 1) return;
  for (const auto& [id, bytes] : items) {
    Ref* r;
    if (delta < 0) {
      r = held.find(id);
      if (!r) continue;
    } else {
      auto [found, added] = held.insert(id);
      r = found;
      if (added) r->bytes = bytes;
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

void ResultCache::remove(int entry) {
  if (entry < 0 || static_cast<std::size_t>(entry) >= entries.size()) return;
  if (is_live(*this, static_cast<std::size_t>(entry))) remove_live(*this, entry);
}

long ResultCache::put(long key, long slot, const std::pair<long, long>* refs, unsigned long n,
                      bool flag, double value, bool pin) {
  long old_slot = -1;
  if (const int* e = index.find(key)) {
    old_slot = entry_at(*this, *e).slot;
    remove_live(*this, *e);
  }
  std::int32_t e;
  if (!free_list.empty()) {
    e = free_list.back();
    free_list.pop_back();
  } else {
    e = static_cast<std::int32_t>(entries.size());
    entries.emplace_back();
  }
  Entry& x = entry_at(*this, e);
  x.key = key;
  x.slot = slot;
  x.value = value;
  x.flag = flag;
  if (refs)
    x.refs.assign(refs, refs + n);
  else
    x.refs.clear();
  *index.insert(key).first = e;
  append(*this, e, pin ? 1 : 0);
  hold(x.refs, x.list, +1);
  if (pin && touching) touched.insert(key);
  return old_slot;
}

long ResultCache::get(long key, bool pin) {
  if (pin && touching) touched.insert(key);
  const int* found = index.find(key);
  if (!found) return -1;
  const std::int32_t e = *found;
  const int list = entry_at(*this, e).list;
  if (list == 1 || !pin) {
    // A refresh within the same list leaves the holds alone.
    splice_out(*this, e);
    append(*this, e, list);
  } else {
    move_entry(*this, e, 1);
  }
  return entry_at(*this, e).slot;
}

void ResultCache::move(long key, bool pinned) {
  if (const int* e = index.find(key)) move_entry(*this, *e, pinned ? 1 : 0);
}

bool ResultCache::pop1(long key, CachePopped& out) {
  const int* e = index.find(key);
  if (!e) return false;
  out = describe(entry_at(*this, *e));
  remove_live(*this, *e);
  return true;
}

void ResultCache::evict(long limit_unpinned, long limit_pinned, std::vector<CachePopped>& out) {
  out.clear();
  const std::array<long, 2> limits{limit_unpinned, limit_pinned};
  for (std::size_t l = 0; l < 2; ++l) {
    while (totals[l] > limits[l] && head[l] != -1) {
      const std::int32_t e = head[l];
      out.push_back(describe(entry_at(*this, e)));
      remove_live(*this, e);
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
    if (e && entry_at(*this, *e).list == 0) move_entry(*this, *e, 1);
    touched.insert(k);
  }
  // Unpinning appends to the other list, so the pinned list can be walked while it shrinks.
  for (std::int32_t e = head[1]; e != -1;) {
    const Entry& x = entry_at(*this, e);
    const std::int32_t next = x.next;
    if (!touched.find(x.key)) move_entry(*this, e, 0);
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
  for (std::int32_t e = head[l]; e != -1; e = entry_at(*this, e).next)
    out.push_back(entry_at(*this, e).key);
  return out;
}

std::vector<long> ResultCache::slots() const {
  std::vector<long> out;
  out.reserve(sizes[0] + sizes[1]);
  for (std::size_t l = 0; l < 2; ++l)
    for (std::int32_t e = head[l]; e != -1; e = entry_at(*this, e).next)
      out.push_back(entry_at(*this, e).slot);
  return out;
}

bool ResultCache::in_unpinned(long key) const {
  const int* e = index.find(key);
  return e && entry_at(*this, *e).list == 0;
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
