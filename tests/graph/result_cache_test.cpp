#include "quarn/graph/result_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "support/cache_frames.h"
#include "support/counting_new.h"  // this program counts every operator new

namespace {

using qn::graph::CachePopped;
using qn::graph::ResultCache;
using Refs = std::vector<std::pair<long, long>>;
using Keys = std::vector<long>;
using Totals = std::array<long, 2>;

void put(ResultCache& c, long key, const Refs& refs = {}, bool pin = false) {
  c.put(key, key + 1000, refs.data(), refs.size(), false, 0.0, pin);
}

// ---- what the randomised model below cannot see ----------------------------------------------

TEST(ResultCache, HoldRecordsBytesOnceAndSurvivesBadInput) {
  ResultCache c;
  put(c, 1, {{7, 100}});
  put(c, 2, {{7, 300}});
  CachePopped out{};
  c.pop1(1, out);
  c.get(2, false);  // a refresh leaves the holds alone: the record keeps the first bytes
  EXPECT_EQ(c.totals[0], 100);
  c.move(2, false);  // a move drops the record and re-records it from this entry's pair
  EXPECT_EQ(c.totals[0], 300);

  c.hold({{5, 40}}, 0, -1);  // releases of unrecorded resources and unknown kinds do nothing
  for (int bad : {-1, 2}) c.hold({{5, 40}}, bad, +1);
  EXPECT_EQ(c.held.find(5), nullptr);
  put(c, 3, {{3, LONG_MAX}});  // huge bytes and counts wrap instead of overflowing
  put(c, 4, {{4, LONG_MAX}});
  c.pop1(3, out);
  c.pop1(4, out);
  EXPECT_EQ(c.totals[0], 300);
  for (int i = 0; i < 3; ++i) c.hold({{5, LONG_MIN}}, 1, INT_MAX);
  EXPECT_NE(c.held.find(5), nullptr);
}

TEST(ResultCache, EntryNumbersAreReusedAndBadOnesIgnored) {
  ResultCache c;
  c.put(1, 11, nullptr, 0, false, 0, false);
  c.put(2, 22, nullptr, 0, false, 0, false);
  EXPECT_EQ(c.put(1, 33, nullptr, 4, true, 2.5, true), 11);  // null refs count as none
  EXPECT_EQ(*c.index.find(1), 0);
  EXPECT_EQ(c.entries.size(), 2u);
  CachePopped out{};
  EXPECT_TRUE(c.pop1(1, out));
  EXPECT_EQ(c.entries[0].slot, -1);
  EXPECT_EQ(c.free_list, (std::vector<std::int32_t>{0}));

  for (int bad : {-1, 0, 2, INT_MAX}) {  // entry 0 is free now
    c.remove(bad);
    c.unlink_order(bad);
    c.link_back(bad, 0);
  }
  for (int list : {0, 1, -1, 2}) c.link_back(1, list);  // linked already, or no such list
  EXPECT_EQ(c.keys(false), (Keys{2}));
  EXPECT_EQ(c.sizes, (std::array<std::size_t, 2>{1, 0}));
  c.unlink_order(1);
  c.link_back(1, 1);
  EXPECT_EQ(c.keys(true), (Keys{2}));
  c.remove(1);
  EXPECT_TRUE(c.index.empty());
}

// A put / get / end_touch / evict frame that evicts one entry each time, allocation-free once
// the cache has reached its working size; the caller's vector is cleared even with nothing to
// evict.
TEST(ResultCache, SteadyStateAllocatesNothing) {
  qn_test::CacheFrames f;
  f.popped.resize(3);
  f.cache.evict(1L << 40, 1L << 40, f.popped);
  EXPECT_TRUE(f.popped.empty());
  for (int i = 0; i < 2000; ++i) f.step();
  const long before = qn_test::allocations(), evicted_before = f.evicted;
  for (int i = 0; i < 20000; ++i) f.step();
  EXPECT_EQ(qn_test::allocations() - before, 0);
  EXPECT_GT(f.evicted - evicted_before, 19000);
  EXPECT_GT(f.cache.index.size(), 200u);
  EXPECT_LE(f.cache.totals[0], qn_test::CacheFrames::kLimit);
  EXPECT_GT(f.hits, 2 * 21000);
}

// ---- randomised comparison with a plain model --------------------------------------------------

// Two key vectors (least recent first), per-entry refs and holds from outside; totals and hold
// counters are recomputed from scratch. Each resource id has one fixed size (some are zero), so
// the bytes a record keeps never depend on history.
struct Model {
  struct Entry {
    long slot;
    bool flag;
    double value;
    int list;
    Refs refs;
  };
  std::map<long, Entry> entries;
  std::array<Keys, 2> lists;
  std::map<long, std::array<int, 2>> outside;
  bool touching = false;
  std::set<long> touched;

  static long bytes_of(long id) { return (id % 5) * 64; }

  void relink(long key, int list) {
    Keys& from = lists[static_cast<std::size_t>(entries.at(key).list)];
    from.erase(std::find(from.begin(), from.end(), key));
    entries.at(key).list = list;
    lists[static_cast<std::size_t>(list)].push_back(key);
  }
  bool pop1(long key, CachePopped& out) {
    if (!entries.count(key)) return false;
    const Entry& e = entries.at(key);
    out = {key, e.slot, e.flag, e.value, e.list == 1};
    relink(key, 0);
    lists[0].pop_back();
    entries.erase(key);
    return true;
  }
  long put(long key, long slot, const Refs& refs, bool flag, double value, bool pin) {
    CachePopped old{0, -1, false, 0, false};
    pop1(key, old);
    entries[key] = {slot, flag, value, pin, refs};
    lists[pin].push_back(key);
    if (pin && touching) touched.insert(key);
    return old.slot;
  }
  long get(long key, bool pin) {
    if (pin && touching) touched.insert(key);
    if (!entries.count(key)) return -1;
    relink(key, entries.at(key).list == 1 || pin);
    return entries.at(key).slot;
  }
  std::vector<CachePopped> evict(const Totals& limits) {
    std::vector<CachePopped> out;
    for (std::size_t l = 0; l < 2; ++l)
      while (totals()[l] > limits[l] && !lists[l].empty())
        pop1(lists[l].front(), out.emplace_back());
    return out;
  }
  void end_touch(const Keys& keys) {
    for (long k : keys) {
      if (entries.count(k) && entries.at(k).list == 0) relink(k, 1);
      touched.insert(k);
    }
    for (long k : Keys(lists[1]))
      if (!touched.count(k)) relink(k, 0);
    touching = false;
    touched.clear();
  }
  std::map<long, std::array<int, 2>> holds() const {
    std::map<long, std::array<int, 2>> h = outside;
    for (const auto& [key, e] : entries)
      for (const auto& ref : e.refs) ++h[ref.first][static_cast<std::size_t>(e.list)];
    std::erase_if(h, [](const auto& kv) { return kv.second == std::array<int, 2>{0, 0}; });
    return h;
  }
  Totals totals() const {
    Totals t{0, 0};
    for (const auto& [id, h] : holds()) t[h[1] != 0] += bytes_of(id);
    return t;
  }
};

void expect_same(const ResultCache& c, const Model& m) {
  ASSERT_EQ(c.keys(false), m.lists[0]);
  ASSERT_EQ(c.keys(true), m.lists[1]);
  ASSERT_EQ(c.sizes, (std::array<std::size_t, 2>{m.lists[0].size(), m.lists[1].size()}));
  Keys slots;
  for (const Keys& l : m.lists)
    for (long k : l) slots.push_back(m.entries.at(k).slot);
  ASSERT_EQ(c.slots(), slots);
  ASSERT_EQ(c.totals, m.totals());
  const auto holds = m.holds();
  ASSERT_EQ(c.held.size(), holds.size());
  for (const auto& [id, h] : holds) {
    ASSERT_NE(c.held.find(id), nullptr) << "resource " << id;
    ASSERT_EQ(c.held.find(id)->holds, h) << "resource " << id;
  }
  ASSERT_EQ(c.touching, m.touching);
  ASSERT_EQ(c.touched.size(), m.touched.size());
  for (long k : m.touched) ASSERT_NE(c.touched.find(k), nullptr);
}

auto fields(const CachePopped& p) { return std::tie(p.key, p.slot, p.flag, p.value, p.pinned); }

// Puts, pinned and plain lookups, moves, pops, evictions, touch phases, holds from outside and
// clears over 40 keys and 16 shared resources; the whole state is compared after every step.
TEST(ResultCacheModel, RandomOperationsMatchThePlainModel) {
  for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937_64 rng(seed);
    auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    ResultCache c;
    Model m;
    for (int step = 0; step < 6000; ++step) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
      const long key = below(40);
      const int op = below(20);
      if (op < 5) {
        Refs refs;
        for (int r = below(4); r > 0; --r) refs.emplace_back(below(16), 0);
        for (auto& ref : refs) ref.second = Model::bytes_of(ref.first);
        const bool pin = below(2), flag = below(2);
        const long slot = below(1000);
        ASSERT_EQ(c.put(key, slot, refs.data(), refs.size(), flag, step / 4.0, pin),
                  m.put(key, slot, refs, flag, step / 4.0, pin));
      } else if (op < 9) {
        const bool pin = below(2);
        ASSERT_EQ(c.get(key, pin), m.get(key, pin));
      } else if (op == 9) {
        const bool pinned = below(2);
        c.move(key, pinned);
        if (m.entries.count(key)) m.relink(key, pinned);
      } else if (op == 10) {
        CachePopped a{1, 2, true, 3, true}, b = a;
        ASSERT_EQ(c.pop1(key, a), m.pop1(key, b));
        ASSERT_TRUE(fields(a) == fields(b));
      } else if (op < 13) {
        const Totals limits{below(8) * 64L, below(8) * 64L};
        const auto got = c.evict(limits[0], limits[1]), want = m.evict(limits);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(fields(got[i]) == fields(want[i]));
      } else if (op < 15) {
        c.touching = m.touching = true;
      } else if (op == 15) {
        Keys keys;
        for (int r = below(4); r > 0; --r) keys.push_back(below(40));
        c.end_touch(keys);
        m.end_touch(keys);
      } else if (op < 18) {  // the host holds or lets go of a resource
        const long id = below(16);
        const int kind = below(2);
        int& n = m.outside[id][static_cast<std::size_t>(kind)];
        const int delta = n > 0 && below(2) ? -1 : +1;
        n += delta;
        if (m.outside[id] == std::array<int, 2>{0, 0}) m.outside.erase(id);
        c.hold({{id, Model::bytes_of(id)}}, kind, delta);
      } else if (op == 18) {
        ASSERT_EQ(c.in_unpinned(key), m.entries.count(key) && m.entries.at(key).list == 0);
      } else if (below(50) == 0) {
        c.clear();
        Model fresh;
        fresh.outside = m.outside;
        m = fresh;
        for (const auto& [id, h] : m.outside)  // the host holds its resources again
          for (int kind = 0; kind < 2; ++kind)
            c.hold({{id, Model::bytes_of(id)}}, kind, h[static_cast<std::size_t>(kind)]);
      }
      expect_same(c, m);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
