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

namespace {

using qn::graph::CachePopped;
using qn::graph::ResultCache;
using Refs = std::vector<std::pair<long, long>>;
using Keys = std::vector<long>;
using Totals = std::array<long, 2>;

void put(ResultCache& c, long key, const Refs& refs = {}, bool pin = false) {
  c.put(key, key + 1000, refs.data(), refs.size(), false, 0.0, pin);
}

TEST(ResultCache, RecordsKeepTheirFirstBytesAndCountsWrap) {
  ResultCache c;
  put(c, 1, {{7, 100}});
  put(c, 2, {{7, 300}});
  CachePopped out{};
  c.pop1(1, out);
  c.get(2, false);  // a refresh leaves the holds alone: the record keeps the first bytes
  EXPECT_EQ(c.totals[0], 100);
  c.move(2, false);  // a move drops the record and re-records it from this entry's pair
  EXPECT_EQ(c.totals[0], 300);

  put(c, 3, {{3, LONG_MAX}});  // huge bytes and counts wrap instead of overflowing
  put(c, 4, {{4, LONG_MAX}});
  c.pop1(3, out);
  c.pop1(4, out);
  EXPECT_EQ(c.totals[0], 300);
  for (int i = 0; i < 3; ++i) c.hold({{5, LONG_MIN}}, 1, INT_MAX);
  EXPECT_NE(c.held.find(5), nullptr);
}

// Two key lists (least recent first), entries, outside holds; holds and totals recounted from
// scratch. Each resource id has one size (some 0), so a record's bytes never depend on history.
struct Model {
  std::map<long, std::pair<CachePopped, Refs>> entries;  // `pinned` names the entry's list
  std::array<Keys, 2> lists;
  std::map<long, std::array<int, 2>> outside;
  bool touching = false;
  std::set<long> touched;

  static std::pair<long, long> ref(long id) { return {id, (id % 5) * 64}; }

  void relink(long key, bool pinned) {
    CachePopped& e = entries.at(key).first;
    std::erase(lists[e.pinned], key);
    lists[e.pinned = pinned].push_back(key);
  }
  bool pop1(long key, CachePopped& out) {
    if (!entries.count(key)) return false;
    out = entries.at(key).first;
    std::erase(lists[out.pinned], key);
    entries.erase(key);
    return true;
  }
  long put(long key, long slot, const Refs& refs, bool flag, double value, bool pin) {
    CachePopped old{0, -1, false, 0, false};
    pop1(key, old);
    entries[key] = {{key, slot, flag, value, pin}, refs};
    lists[pin].push_back(key);
    if (pin && touching) touched.insert(key);
    return old.slot;
  }
  long get(long key, bool pin) {
    if (pin && touching) touched.insert(key);
    if (!entries.count(key)) return -1;
    relink(key, entries.at(key).first.pinned || pin);
    return entries.at(key).first.slot;
  }
  std::vector<CachePopped> evict(const Totals& limits) {
    std::vector<CachePopped> out;
    for (int l = 0; l < 2; ++l)
      while (totals()[l] > limits[l] && !lists[l].empty())
        pop1(lists[l].front(), out.emplace_back());
    return out;
  }
  void end_touch(const Keys& keys) {
    for (long k : keys) {
      if (entries.count(k) && !entries.at(k).first.pinned) relink(k, true);
      touched.insert(k);
    }
    for (long k : Keys(lists[1]))
      if (!touched.count(k)) relink(k, false);
    touching = false;
    touched.clear();
  }
  std::map<long, std::array<int, 2>> holds() const {
    std::map<long, std::array<int, 2>> h = outside;
    for (const auto& [key, e] : entries)
      for (const auto& r : e.second) ++h[r.first][e.first.pinned];
    std::erase_if(h, [](const auto& kv) { return kv.second == std::array<int, 2>{0, 0}; });
    return h;
  }
  Totals totals() const {
    Totals t{0, 0};
    for (const auto& [id, h] : holds()) t[h[1] != 0] += ref(id).second;
    return t;
  }
};

void expect_same(const ResultCache& c, const Model& m) {
  Keys slots;
  for (const Keys& l : m.lists)
    for (long k : l) slots.push_back(m.entries.at(k).first.slot);
  std::map<long, std::array<int, 2>> held;
  c.held.for_each([&](long id, const ResultCache::Ref& r) { held[id] = r.holds; });
  std::set<long> touched;
  c.touched.for_each([&](long k, char) { touched.insert(k); });
  ASSERT_EQ(c.sizes, (std::array<std::size_t, 2>{m.lists[0].size(), m.lists[1].size()}));
  ASSERT_EQ(c.keys(false), m.lists[0]);
  ASSERT_EQ(c.keys(true), m.lists[1]);
  ASSERT_EQ(c.slots(), slots);
  ASSERT_EQ(c.totals, m.totals());
  ASSERT_EQ(held, m.holds());
  ASSERT_EQ(touched, m.touched);
  ASSERT_EQ(c.touching, m.touching);
}

auto fields(const CachePopped& p) { return std::tie(p.key, p.slot, p.flag, p.value, p.pinned); }

// Every operation over 40 keys and 16 shared resources; the whole state compared at every step.
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
        for (int r = below(4); r > 0; --r) refs.push_back(Model::ref(below(16)));
        const bool pin = below(2), flag = below(2);
        const long slot = below(1000);  // null refs count as none, whatever their number
        ASSERT_EQ(c.put(key, slot, refs.empty() ? nullptr : refs.data(),
                        refs.size() + 4 * refs.empty(), flag, step / 4.0, pin),
                  m.put(key, slot, refs, flag, step / 4.0, pin));
      } else if (op < 9) {
        const bool pin = below(2);
        ASSERT_EQ(c.get(key, pin), m.get(key, pin));
      } else if (op == 9) {  // a move, or through the list primitives, which leave holds alone
        const bool pinned = below(2);
        const int live = static_cast<int>(m.entries.size());
        const long k = live && below(4) ? std::next(m.entries.begin(), below(live))->first : key;
        const int* e = c.index.find(k);
        if (e && c.entries[static_cast<std::size_t>(*e)].refs.empty()) {
          c.unlink_order(*e);
          c.link_back(*e, pinned);
        } else {
          c.move(k, pinned);
        }
        if (e) m.relink(k, pinned);
      } else if (op == 10) {  // a miss leaves `out` alone; `remove` is pop1 by entry number
        CachePopped a{1, 2, true, 3, true}, b = a;
        if (const int* e = c.index.find(key); e && below(2)) {
          c.remove(*e);
          m.pop1(key, b);
        } else {
          ASSERT_EQ(c.pop1(key, a), m.pop1(key, b));
          ASSERT_TRUE(fields(a) == fields(b));
        }
      } else if (op < 13) {  // by value, or into a vector that holds stale descriptions
        const Totals limits{below(8) * 64L, below(8) * 64L};
        std::vector<CachePopped> got(below(3)), want = m.evict(limits);
        if (got.empty())
          got = c.evict(limits[0], limits[1]);
        else
          c.evict(limits[0], limits[1], got);
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
        int& n = m.outside[id][kind];
        const int delta = n > 0 && below(2) ? -1 : +1;
        n += delta;
        if (m.outside[id] == std::array<int, 2>{0, 0}) m.outside.erase(id);
        c.hold({Model::ref(id)}, kind, delta);
      } else if (op == 18) {
        ASSERT_EQ(c.in_unpinned(key), m.entries.count(key) && !m.entries.at(key).first.pinned);
      } else if (below(5) == 0) {  // numbers that name no live entry, kinds that name no list
        const int e = c.index.find(key) ? *c.index.find(key) : 0;
        const int bad = std::array{-1, e + 1000, INT_MAX,
                                   c.free_list.empty() ? -2 : c.free_list.back()}[below(4)];
        c.remove(bad);
        c.unlink_order(bad);
        c.link_back(bad, 0);
        c.link_back(e, std::array{-1, 2, 0, 1}[below(4)]);  // no such list, or linked already
        c.hold({Model::ref(below(16))}, below(2) ? -1 : 2, +1);
      } else if (below(10) == 0) {  // forget everything; the host holds its resources again
        c.clear();
        m = Model{{}, {}, m.outside, false, {}};
        for (const auto& [id, h] : m.outside)
          for (int kind = 0; kind < 2; ++kind) c.hold({Model::ref(id)}, kind, h[kind]);
      }
      expect_same(c, m);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
