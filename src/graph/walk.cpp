#include "quarn/graph/walk.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qn::graph {
namespace {

bool in_range(int d, std::size_t n) { return d >= 0 && static_cast<std::size_t>(d) < n; }

// Clears the marks of the dirty nodes when the walk ends, also when the callback throws, so
// that the next walk starts from all-zero marks.
class MarkScope {
 public:
  MarkScope(std::vector<std::uint8_t>& marks, const std::vector<int>& dirty)
      : marks_(marks), dirty_(dirty) {
    set(1);
  }
  ~MarkScope() { set(0); }
  MarkScope(const MarkScope&) = delete;
  MarkScope& operator=(const MarkScope&) = delete;

 private:
  void set(std::uint8_t v) {
    for (int d : dirty_)
      if (in_range(d, marks_.size())) marks_[static_cast<std::size_t>(d)] = v;
  }
  std::vector<std::uint8_t>& marks_;
  const std::vector<int>& dirty_;
};

bool any_upstream_changed(const Walk& w, std::size_t i) {
  for (std::int32_t k = w.up_starts[i]; k < w.up_starts[i + 1]; ++k)
    if (w.changed[static_cast<std::size_t>(w.up_nodes[static_cast<std::size_t>(k)])]) return true;
  return false;
}

// While no key has changed yet (and `all` is off), only marked or flagged nodes are called:
// skip the quiet stretch between them eight nodes at a time.
std::size_t next_marked_or_flagged(const std::vector<std::uint8_t>& marks,
                                   const std::vector<std::uint8_t>& flags, std::size_t i) {
  const std::size_t n = flags.size();
  for (; i + 8 <= n; i += 8) {
    std::uint64_t m, f;
    std::memcpy(&m, marks.data() + i, 8);
    std::memcpy(&f, flags.data() + i, 8);
    if (m | f) break;
  }
  while (i < n && !marks[i] && !flags[i]) ++i;
  return i;
}

}  // namespace

void Walk::build(std::vector<std::vector<int>> ups, std::vector<unsigned char> new_flags,
                 std::vector<long> new_keys) {
  const std::size_t n = new_keys.size();
  if (ups.size() != n || new_flags.size() != n)
    throw std::invalid_argument("graph.Walk.build: sizes differ");
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (int d : ups[i])
      if (!in_range(d, i)) throw std::invalid_argument("graph.Walk.build: not upstream first");
    total += ups[i].size();
  }

  up_starts.assign(n + 1, 0);
  up_nodes.clear();
  up_nodes.reserve(total);
  for (std::size_t i = 0; i < n; ++i) {
    up_nodes.insert(up_nodes.end(), ups[i].begin(), ups[i].end());
    up_starts[i + 1] = static_cast<std::int32_t>(up_nodes.size());
  }
  flags = std::move(new_flags);
  keys = std::move(new_keys);
  marks.assign(n, 0);
  changed.assign(n, 0);
}

int Walk::walk(const std::vector<int>& dirty, bool all,
               const std::function<std::optional<long>(int, bool)>& fn) {
  const std::size_t n = keys.size();
  if (up_starts.size() != n + 1 || flags.size() != n || marks.size() != n || changed.size() != n)
    throw std::invalid_argument("graph.Walk.walk: keys resized since build");

  MarkScope scope(marks, dirty);
  std::fill(changed.begin(), changed.end(), 0);
  changed_list.clear();

  int count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!all && changed_list.empty()) {
      i = next_marked_or_flagged(marks, flags, i);
      if (i == n) break;
    }
    bool upstream_changed;
    if (marks[i]) {
      upstream_changed = true;
    } else if (!changed_list.empty() && any_upstream_changed(*this, i)) {
      upstream_changed = true;
    } else if (flags[i] || all) {
      upstream_changed = false;
    } else {
      continue;
    }
    ++count;
    std::optional<long> r = fn(static_cast<int>(i), upstream_changed);
    if (r && *r != keys[i]) {
      keys[i] = *r;
      changed[i] = 1;
      changed_list.push_back(static_cast<std::int32_t>(i));
    }
  }
  return count;
}

}  // namespace qn::graph
