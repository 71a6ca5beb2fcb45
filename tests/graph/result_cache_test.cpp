#include "quarn/graph/result_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

using qn::graph::CachePopped;
using qn::graph::ResultCache;
using Refs = std::vector<std::pair<long, long>>;
using Keys = std::vector<long>;

void put(ResultCache& c, long key, const Refs& refs = {}, bool pin = false, long slot = -2) {
  c.put(key, slot == -2 ? key + 1000 : slot, refs.data(), refs.size(), false, 0.0, pin);
}

Keys popped_keys(const std::vector<CachePopped>& v) {
  Keys out;
  for (const CachePopped& p : v) out.push_back(p.key);
  return out;
}

// ---- memory accounting -----------------------------------------------------------------------

TEST(ResultCacheTotals, SharedResourceCountsOnce) {
  ResultCache c;
  put(c, 1, {{7, 100}, {8, 5}});
  put(c, 2, {{7, 100}});
  EXPECT_EQ(c.totals, (std::array<long, 2>{105, 0}));
  CachePopped out{};
  ASSERT_TRUE(c.pop1(1, out));
  EXPECT_EQ(c.totals, (std::array<long, 2>{100, 0}));
  ASSERT_TRUE(c.pop1(2, out));
  EXPECT_EQ(c.totals, (std::array<long, 2>{0, 0}));
  EXPECT_TRUE(c.held.empty());
}

TEST(ResultCacheTotals, PinnedHolderWinsAndUnpinningMovesTheBytes) {
  ResultCache c;
  put(c, 1, {{7, 100}});
  put(c, 2, {{7, 100}, {9, 1}}, /*pin=*/true);
  EXPECT_EQ(c.totals, (std::array<long, 2>{0, 101}));
  EXPECT_EQ(c.held.find(7)->holds, (std::array<std::int32_t, 2>{1, 1}));
  c.move(2, false);
  EXPECT_EQ(c.totals, (std::array<long, 2>{101, 0}));
}

TEST(ResultCacheTotals, RecordKeepsTheFirstBytesUntilDroppedByAMove) {
  ResultCache c;
  put(c, 1, {{7, 100}});
  put(c, 2, {{7, 300}});
  EXPECT_EQ(c.totals[0], 100);
  ASSERT_TRUE(c.pop1(1, *std::make_unique<CachePopped>()));
  EXPECT_EQ(c.totals[0], 100);
  c.get(2, false);  // a refresh leaves the holds alone
  EXPECT_EQ(c.totals[0], 100);
  c.move(2, false);  // a move drops the record and re-records it from this entry's pair
  EXPECT_EQ(c.totals[0], 300);
}

TEST(ResultCacheTotals, HoldFromOutsideTheEntries) {
  ResultCache c;
  c.hold({{5, 40}}, 0, -1);  // no record: nothing happens
  EXPECT_TRUE(c.held.empty());
  c.hold({{5, 40}}, 1, +1);
  EXPECT_EQ(c.totals, (std::array<long, 2>{0, 40}));
  put(c, 1, {{5, 99}});
  EXPECT_EQ(c.totals, (std::array<long, 2>{0, 40}));
  c.hold({{5, 40}}, 1, -1);
  EXPECT_EQ(c.totals, (std::array<long, 2>{40, 0}));
  for (int bad : {-1, 2, 7}) c.hold({{5, 40}}, bad, +1);
  EXPECT_EQ(c.held.find(5)->holds, (std::array<std::int32_t, 2>{1, 0}));
}

TEST(ResultCacheTotals, HugeCountsAndBytesWrapWithoutOverflow) {
  ResultCache c;
  put(c, 1, {{1, LONG_MAX}});
  put(c, 2, {{2, LONG_MAX}});
  c.pop1(1, *std::make_unique<CachePopped>());
  EXPECT_EQ(c.totals[0], LONG_MAX);
  c.hold({{3, LONG_MIN}}, 1, INT_MAX);
  c.hold({{3, 0}}, 1, INT_MAX);
  c.hold({{3, 0}}, 1, INT_MAX);
  EXPECT_TRUE(c.held.find(3) != nullptr);
}

// ---- storing and looking up --------------------------------------------------------------------

TEST(ResultCache, PutOfPresentKeyReturnsOldSlotAndReusesTheEntry) {
  ResultCache c;
  put(c, 1, {}, false, 11);
  put(c, 2, {}, false, 22);
  EXPECT_EQ(c.put(1, 33, nullptr, 0, true, 2.5, true), 11);
  EXPECT_EQ(*c.index.find(1), 0);
  EXPECT_EQ(c.entries.size(), 2u);
  EXPECT_EQ(c.keys(false), (Keys{2}));
  EXPECT_EQ(c.keys(true), (Keys{1}));
  EXPECT_EQ(c.put(1, 44, nullptr, 0, false, 0, false), 33);
  EXPECT_EQ(c.keys(false), (Keys{2, 1}));
  EXPECT_EQ(c.put(9, 1, nullptr, 0, false, 0, false), -1);
}

TEST(ResultCache, NullRefsCountAsNone) {
  ResultCache c;
  c.put(1, 5, nullptr, 3, false, 0, false);
  EXPECT_TRUE(c.entries[0].refs.empty());
  EXPECT_EQ(c.get(1, false), 5);
}

TEST(ResultCache, GetPinsOrRefreshes) {
  ResultCache c;
  put(c, 1);
  put(c, 2);
  put(c, 3, {}, true);
  put(c, 4, {}, true);
  EXPECT_EQ(c.get(1, false), 1001);
  EXPECT_EQ(c.keys(false), (Keys{2, 1}));
  EXPECT_EQ(c.get(2, true), 1002);
  EXPECT_EQ(c.keys(false), (Keys{1}));
  EXPECT_EQ(c.keys(true), (Keys{3, 4, 2}));
  EXPECT_EQ(c.get(3, false), 1003);
  EXPECT_EQ(c.keys(true), (Keys{4, 2, 3}));
  EXPECT_FALSE(c.in_unpinned(3));
  EXPECT_TRUE(c.in_unpinned(1));
  EXPECT_FALSE(c.in_unpinned(99));
  EXPECT_EQ(c.get(99, true), -1);
  EXPECT_EQ(c.sizes, (std::array<std::size_t, 2>{1, 3}));
}

TEST(ResultCache, PopOneDescribesTheEntry) {
  ResultCache c;
  c.put(5, 55, nullptr, 0, true, 1.5, true);
  CachePopped out{-7, -7, false, -7.0, false};
  EXPECT_FALSE(c.pop1(6, out));
  EXPECT_EQ(out.key, -7);
  EXPECT_TRUE(c.pop1(5, out));
  EXPECT_EQ(out.key, 5);
  EXPECT_EQ(out.slot, 55);
  EXPECT_TRUE(out.flag);
  EXPECT_EQ(out.value, 1.5);
  EXPECT_TRUE(out.pinned);
  EXPECT_EQ(c.entries[0].slot, -1);
  EXPECT_EQ(c.free_list, (std::vector<std::int32_t>{0}));
  EXPECT_EQ(c.get(5, false), -1);
}

TEST(ResultCache, SlotsListUnpinnedThenPinnedLeastRecentFirst) {
  ResultCache c;
  put(c, 1, {}, true);
  put(c, 2);
  put(c, 3, {}, true);
  put(c, 4);
  EXPECT_EQ(c.slots(), (Keys{1002, 1004, 1001, 1003}));
}

// ---- eviction ----------------------------------------------------------------------------------

TEST(ResultCacheEvict, LeastRecentFirstUnpinnedThenPinned) {
  ResultCache c;
  put(c, 1, {{1, 10}});
  put(c, 2, {{2, 10}});
  put(c, 3, {{3, 10}}, true);
  put(c, 4, {{4, 10}}, true);
  c.get(1, false);
  std::vector<CachePopped> out = c.evict(5, 15);
  EXPECT_EQ(popped_keys(out), (Keys{2, 1, 3}));
  EXPECT_FALSE(out[1].pinned);
  EXPECT_TRUE(out[2].pinned);
  EXPECT_EQ(out[2].slot, 1003);
  EXPECT_EQ(c.totals, (std::array<long, 2>{0, 10}));
  EXPECT_TRUE(c.evict(0, 10).empty());
}

TEST(ResultCacheEvict, ZeroByteResourcesNeverForceEviction) {
  ResultCache c;
  put(c, 1, {{1, 0}});
  put(c, 2, {{2, 0}}, true);
  EXPECT_TRUE(c.evict(0, 0).empty());
  put(c, 3, {{3, 1}});
  put(c, 4, {{4, 1}}, true);
  EXPECT_EQ(popped_keys(c.evict(0, 0)), (Keys{1, 3, 2, 4}));
  EXPECT_EQ(c.sizes, (std::array<std::size_t, 2>{0, 0}));
}

TEST(ResultCacheEvict, ExternallyHeldBytesEmptyTheListButStayCounted) {
  ResultCache c;
  c.hold({{9, 50}}, 0, +1);
  put(c, 1, {{9, 50}});
  put(c, 2);
  EXPECT_EQ(popped_keys(c.evict(10, 10)), (Keys{1, 2}));
  EXPECT_EQ(c.totals[0], 50);
}

TEST(ResultCacheEvict, UnpinnedListIsNotRevisitedAfterPinnedRemovals) {
  ResultCache c;
  put(c, 1, {{7, 100}});
  put(c, 2, {{7, 100}}, true);
  std::vector<CachePopped> out = c.evict(0, 0);
  EXPECT_EQ(popped_keys(out), (Keys{2}));
  EXPECT_EQ(c.totals, (std::array<long, 2>{100, 0}));
  EXPECT_EQ(c.keys(false), (Keys{1}));
}

TEST(ResultCacheEvict, FillingOverloadReusesTheCallersVector) {
  ResultCache c;
  put(c, 1, {{1, 10}});
  std::vector<CachePopped> out(3);
  c.evict(100, 100, out);
  EXPECT_TRUE(out.empty());
  c.evict(0, 0, out);
  EXPECT_EQ(popped_keys(out), (Keys{1}));
}

// ---- touch phases ------------------------------------------------------------------------------

TEST(ResultCacheTouch, MissedLookupIsRememberedForALaterPut) {
  ResultCache c;
  c.touching = true;
  EXPECT_EQ(c.get(5, true), -1);
  EXPECT_NE(c.touched.find(5), nullptr);
  put(c, 5, {}, true);
  c.end_touch({});
  EXPECT_EQ(c.keys(true), (Keys{5}));
  EXPECT_FALSE(c.touching);
  EXPECT_TRUE(c.touched.empty());
}

TEST(ResultCacheTouch, EmptyEndUnpinsEverythingInPinnedOrder) {
  ResultCache c;
  put(c, 1);
  put(c, 2, {{2, 5}}, true);
  put(c, 3, {{3, 5}}, true);
  c.end_touch({});
  EXPECT_EQ(c.keys(false), (Keys{1, 2, 3}));
  EXPECT_TRUE(c.keys(true).empty());
  EXPECT_EQ(c.totals, (std::array<long, 2>{10, 0}));
}

TEST(ResultCacheTouch, ListedAndTouchedKeysStayPinned) {
  ResultCache c;
  put(c, 1);
  put(c, 2, {}, true);
  put(c, 3, {}, true);
  put(c, 4, {}, true);
  c.touching = true;
  c.get(3, true);
  c.end_touch({1, 77});
  EXPECT_EQ(c.keys(true), (Keys{3, 1}));
  EXPECT_EQ(c.keys(false), (Keys{2, 4}));
}

TEST(ResultCacheTouch, LookupsOutsideAPhaseRecordNothing) {
  ResultCache c;
  put(c, 1, {}, true);
  c.get(1, true);
  EXPECT_TRUE(c.touched.empty());
}

// ---- clear and list primitives -----------------------------------------------------------------

TEST(ResultCache, ClearForgetsEverything) {
  ResultCache c;
  put(c, 1, {{1, 5}});
  put(c, 2, {{2, 5}}, true);
  c.touching = true;
  c.get(3, true);
  c.clear();
  EXPECT_TRUE(c.entries.empty() && c.free_list.empty() && c.index.empty() && c.held.empty());
  EXPECT_TRUE(c.touched.empty());
  EXPECT_EQ(c.head, (std::array<std::int32_t, 2>{-1, -1}));
  EXPECT_EQ(c.tail, (std::array<std::int32_t, 2>{-1, -1}));
  EXPECT_EQ(c.totals, (std::array<long, 2>{0, 0}));
  EXPECT_EQ(c.sizes, (std::array<std::size_t, 2>{0, 0}));
  EXPECT_FALSE(c.touching);
  EXPECT_TRUE(c.slots().empty());
  put(c, 1);
  EXPECT_EQ(c.keys(false), (Keys{1}));
}

TEST(ResultCache, ListPrimitivesMoveEntriesWithoutTouchingHolds) {
  ResultCache c;
  put(c, 1, {{1, 5}});
  put(c, 2);
  c.unlink_order(0);
  EXPECT_EQ(c.keys(false), (Keys{2}));
  EXPECT_EQ(c.sizes[0], 1u);
  c.link_back(0, 1);
  EXPECT_EQ(c.keys(true), (Keys{1}));
  EXPECT_EQ(c.totals, (std::array<long, 2>{5, 0}));
}

TEST(ResultCache, EntryNumbersThatNameNoLiveEntryAreIgnored) {
  ResultCache c;
  put(c, 1, {{1, 5}});
  put(c, 2, {{2, 5}});
  c.pop1(1, *std::make_unique<CachePopped>());  // entry 0 is now free
  for (int bad : {-1, 0, 2, INT_MAX}) {
    c.remove(bad);
    c.unlink_order(bad);
    c.link_back(bad, 0);
  }
  c.link_back(1, 0);   // already linked
  c.link_back(1, 1);   // already linked elsewhere
  c.link_back(1, -1);  // no such list
  c.link_back(1, 2);
  EXPECT_EQ(c.keys(false), (Keys{2}));
  EXPECT_EQ(c.sizes, (std::array<std::size_t, 2>{1, 0}));
  c.remove(1);
  EXPECT_TRUE(c.index.empty());
  EXPECT_EQ(c.totals[0], 0);
}

// ---- randomised comparison with a plain model --------------------------------------------------

// The model keeps the two lists as key vectors (least recent first), per-entry refs, and holds
// from outside; totals are recomputed from scratch. Every resource id has one fixed size, so the
// bytes a record keeps never depend on history.
class Model {
 public:
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

  long put(long key, long slot, const Refs& refs, bool flag, double value, bool pin) {
    long old = -1;
    if (auto it = entries.find(key); it != entries.end()) {
      old = it->second.slot;
      unlink(key);
      entries.erase(it);
    }
    entries[key] = {slot, flag, value, pin ? 1 : 0, refs};
    lists[pin ? 1 : 0].push_back(key);
    if (pin && touching) touched.insert(key);
    return old;
  }
  long get(long key, bool pin) {
    if (pin && touching) touched.insert(key);
    auto it = entries.find(key);
    if (it == entries.end()) return -1;
    relink(key, it->second.list == 1 || pin ? 1 : 0);
    return it->second.slot;
  }
  void move(long key, bool pinned) {
    if (entries.count(key)) relink(key, pinned ? 1 : 0);
  }
  bool pop1(long key, CachePopped& out) {
    auto it = entries.find(key);
    if (it == entries.end()) return false;
    out = describe(key);
    unlink(key);
    entries.erase(it);
    return true;
  }
  std::vector<CachePopped> evict(long lu, long lp) {
    std::vector<CachePopped> out;
    const std::array<long, 2> limits{lu, lp};
    for (int l = 0; l < 2; ++l)
      while (totals()[static_cast<std::size_t>(l)] > limits[static_cast<std::size_t>(l)] &&
             !lists[static_cast<std::size_t>(l)].empty()) {
        CachePopped p{};
        pop1(lists[static_cast<std::size_t>(l)].front(), p);
        out.push_back(p);
      }
    return out;
  }
  void end_touch(const Keys& keys) {
    for (long k : keys) {
      if (entries.count(k) && entries[k].list == 0) relink(k, 1);
      touched.insert(k);
    }
    Keys collected;
    for (long k : lists[1])
      if (!touched.count(k)) collected.push_back(k);
    for (long k : collected) relink(k, 0);
    touching = false;
    touched.clear();
  }
  // Hold counters per resource: entries of each list plus holds from outside.
  std::map<long, std::array<int, 2>> holds() const {
    std::map<long, std::array<int, 2>> h = outside;
    for (const auto& [key, e] : entries)
      for (const auto& [id, bytes] : e.refs) ++h[id][static_cast<std::size_t>(e.list)];
    std::erase_if(h, [](const auto& kv) { return kv.second[0] == 0 && kv.second[1] == 0; });
    return h;
  }
  std::array<long, 2> totals() const {
    std::array<long, 2> t{0, 0};
    for (const auto& [id, h] : holds()) t[h[1] != 0 ? 1 : 0] += bytes_of(id);
    return t;
  }

 private:
  CachePopped describe(long key) {
    const Entry& e = entries.at(key);
    return {key, e.slot, e.flag, e.value, e.list == 1};
  }
  void unlink(long key) {
    Keys& l = lists[static_cast<std::size_t>(entries.at(key).list)];
    l.erase(std::find(l.begin(), l.end(), key));
  }
  void relink(long key, int list) {
    unlink(key);
    entries.at(key).list = list;
    lists[static_cast<std::size_t>(list)].push_back(key);
  }
};

void expect_same(const ResultCache& c, const Model& m, int step) {
  ASSERT_EQ(c.keys(false), m.lists[0]) << "step " << step;
  ASSERT_EQ(c.keys(true), m.lists[1]) << "step " << step;
  ASSERT_EQ(c.sizes[0], m.lists[0].size());
  ASSERT_EQ(c.sizes[1], m.lists[1].size());
  ASSERT_EQ(c.index.size(), m.entries.size());
  ASSERT_EQ(c.totals, m.totals()) << "step " << step;
  const auto holds = m.holds();
  ASSERT_EQ(c.held.size(), holds.size()) << "step " << step;
  for (const auto& [id, h] : holds) {
    const ResultCache::Ref* r = c.held.find(id);
    ASSERT_NE(r, nullptr) << "step " << step << " resource " << id;
    ASSERT_EQ(r->holds, h) << "step " << step << " resource " << id;
    ASSERT_EQ(r->bytes, Model::bytes_of(id));
  }
  ASSERT_EQ(c.touching, m.touching);
  ASSERT_EQ(c.touched.size(), m.touched.size()) << "step " << step;
  for (long k : m.touched) ASSERT_NE(c.touched.find(k), nullptr) << "step " << step;
}

void expect_same_popped(const std::vector<CachePopped>& a, const std::vector<CachePopped>& b,
                        int step) {
  ASSERT_EQ(a.size(), b.size()) << "step " << step;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].key, b[i].key) << "step " << step;
    EXPECT_EQ(a[i].slot, b[i].slot);
    EXPECT_EQ(a[i].flag, b[i].flag);
    EXPECT_EQ(a[i].value, b[i].value);
    EXPECT_EQ(a[i].pinned, b[i].pinned);
  }
}

TEST(ResultCacheModel, RandomOperationsMatchThePlainModel) {
  for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937_64 rng(seed);
    auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    ResultCache c;
    Model m;
    for (int step = 0; step < 6000; ++step) {
      const long key = below(40);
      switch (below(20)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4: {
          Refs refs;
          for (int r = below(4); r > 0; --r) {
            const long id = below(16);
            refs.emplace_back(id, Model::bytes_of(id));
          }
          const bool pin = below(2), flag = below(2);
          const long slot = below(1000);
          const double value = below(100) / 4.0;
          ASSERT_EQ(c.put(key, slot, refs.data(), refs.size(), flag, value, pin),
                    m.put(key, slot, refs, flag, value, pin));
          break;
        }
        case 5:
        case 6:
        case 7:
        case 8: {
          const bool pin = below(2);
          ASSERT_EQ(c.get(key, pin), m.get(key, pin)) << "step " << step;
          break;
        }
        case 9: {
          const bool pinned = below(2);
          c.move(key, pinned);
          m.move(key, pinned);
          break;
        }
        case 10: {
          CachePopped a{}, b{};
          ASSERT_EQ(c.pop1(key, a), m.pop1(key, b));
          expect_same_popped({a}, {b}, step);
          break;
        }
        case 11:
        case 12: {
          const long lu = below(8) * 64, lp = below(8) * 64;
          expect_same_popped(c.evict(lu, lp), m.evict(lu, lp), step);
          break;
        }
        case 13:
        case 14: {
          c.touching = m.touching = true;
          break;
        }
        case 15: {
          Keys keys;
          for (int r = below(4); r > 0; --r) keys.push_back(below(40));
          c.end_touch(keys);
          m.end_touch(keys);
          break;
        }
        case 16:
        case 17: {  // the host holds or lets go of a resource
          const long id = below(16);
          const int kind = below(2);
          int& n = m.outside[id][static_cast<std::size_t>(kind)];
          const int delta = n > 0 && below(2) ? -1 : +1;
          n += delta;
          if (m.outside[id] == std::array<int, 2>{0, 0}) m.outside.erase(id);
          c.hold({{id, Model::bytes_of(id)}}, kind, delta);
          break;
        }
        case 18: {
          ASSERT_EQ(c.in_unpinned(key), m.entries.count(key) && m.entries[key].list == 0);
          break;
        }
        default: {
          if (below(50) == 0) {
            c.clear();
            m.entries.clear();
            m.lists = {};
            m.touching = false;
            m.touched.clear();
            for (const auto& [id, h] : m.outside) {  // the host re-establishes its holds
              c.hold({{id, Model::bytes_of(id)}}, 0, h[0]);
              c.hold({{id, Model::bytes_of(id)}}, 1, h[1]);
            }
          }
        }
      }
      expect_same(c, m, step);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
