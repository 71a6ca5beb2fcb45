#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quarn/graph/flat_map.h"
#include "quarn/graph/record.h"
#include "quarn/graph/schedule.h"
#include "quarn/graph/walk.h"

namespace {

using namespace qn::graph;

TEST(FlatMap, GrowsBeforeAnyInsertAtThreeQuartersEvenOfAPresentKey) {
  FlatMap<int> m;
  EXPECT_EQ(m.find(1), nullptr);  // an empty table is never probed
  EXPECT_FALSE(m.erase(1));
  for (long k = 0; k < 48; ++k) *m.insert(k).first = static_cast<int>(k) + 100;
  EXPECT_EQ(m.capacity(), 64u);
  EXPECT_FALSE(m.insert(7).second);
  EXPECT_EQ(m.capacity(), 128u);
  for (long k = 0; k < 48; ++k) ASSERT_EQ(*m.find(k), k + 100) << k;
}

// Mixed insert / find / erase (and a few clears) against std::unordered_map. `wrapping` keys have
// hashes whose low 8 bits are all ones: in tables of up to 256 slots they all start at the last
// slot and their runs wrap to the front. The rest are spread, plus 0 and the extremes.
TEST(FlatMapModel, MatchesUnorderedMapWithWrappingRuns) {
  struct Config {
    unsigned seed;
    int ops, wrapping, spread;
  };
  for (const Config cfg : {Config{20240611, 300'000, 120, 40}, Config{7, 200'000, 200, 30'000}}) {
    SCOPED_TRACE(cfg.seed);
    std::mt19937_64 rng(cfg.seed);
    std::vector<long> keys{0, -1, LONG_MIN, LONG_MAX};
    for (long k = -5'000'000; static_cast<int>(keys.size()) < 4 + cfg.wrapping; ++k)
      if ((internal::fmix64(static_cast<std::uint64_t>(k)) & 0xFF) == 0xFF) keys.push_back(k);
    for (int i = 0; i < cfg.spread; ++i) keys.push_back(static_cast<long>(rng()));

    FlatMap<int> m;
    std::unordered_map<long, int> ref;
    std::size_t max_capacity = 0;
    for (int step = 0; step < cfg.ops; ++step) {
      const long k = keys[rng() % keys.size()];
      const int op = static_cast<int>(rng() % 10);
      if (step % (cfg.ops / 4) == 0) {  // forget everything now and then; the capacity stays
        m.clear();
        ref.clear();
        ASSERT_EQ(m.capacity(), max_capacity);
      } else if (op < 4) {
        auto [v, added] = m.insert(k);
        auto [it, ref_added] = ref.try_emplace(k, 0);
        ASSERT_EQ(added, ref_added) << "step " << step;
        ASSERT_EQ(*v, it->second);
        *v = it->second = step;
      } else if (op < 7) {
        ASSERT_EQ(m.erase(k), ref.erase(k) == 1) << "step " << step;
      } else {
        const int* v = m.find(k);
        ASSERT_EQ(v ? *v : -1, ref.count(k) ? ref[k] : -1) << "step " << step;
      }
      ASSERT_EQ(m.size(), ref.size());
      ASSERT_LE(4 * m.size(), 3 * m.capacity());
      ASSERT_GE(m.capacity(), max_capacity);  // never shrinks
      max_capacity = m.capacity();
    }
    std::unordered_map<long, int> seen;
    m.for_each([&](long key, int value) { seen[key] = value; });
    EXPECT_EQ(seen, ref);
  }
}

// Growing past the huge-page threshold moves every key from the ordinary heap into the
// 2 MiB-aligned array, and erase and clear work there as anywhere.
TEST(FlatMap, KeysSurviveTheMoveIntoAHugePageTable) {
  FlatMap<int> m;
  const long n = 200000;  // 262144 slots of 16 bytes: past the 4 MiB threshold
  for (long k = 0; k < n; ++k) *m.insert(k * 7919 - n).first = static_cast<int>(k);
  ASSERT_GE(m.capacity() * sizeof(FlatMap<int>::Slot), internal::kHugeTableBytes);
  for (long k = 0; k < n; k += 2) ASSERT_TRUE(m.erase(k * 7919 - n));
  for (long k = 0; k < n; ++k) {
    const int* v = m.find(k * 7919 - n);
    ASSERT_EQ(v ? *v : -1, k % 2 ? static_cast<int>(k) : -1) << k;
  }
  m.clear();
  EXPECT_EQ(m.find(7919 - n), nullptr);
}

// Expected values: FNV-1a 64 worked out by hand over the bytes each case names. kOutside: the
// record is refused.
TEST(RecordTypedHash, MatchesHandComputedFnvOrRefusesFieldsOutsideTheRecord) {
  constexpr std::uint64_t kOutside = 0;
  struct Case {
    std::vector<Record::Field> layout;
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> kinds;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}, 0x14650FB0739D0383ULL},                   // no fields: the offset
      {{{4, 0}}, {7, 7, 7, 7}, {2}, 0x44BD29D473CCF433ULL},  // kind 2: its kind byte only
      {{}, {}, {7, 255, 0}, 0xB34BCA4F40A3B6ABULL},          // no kind 1: no descriptor read
      {{{1, 0}}, {0x04030201}, {1}, 0x19075EA2A852D322ULL},  // kind 1: bytes 01 02 03 04
      // 01 00 01 | 44 33 22 11 EF BE AD DE (field 0: words 1..2) | D0 C0 B0 A0 (field 2: count
      // 0 reads one word, word 0); field 1 (kind 0) reads nothing.
      {{{2, 1}, {5, 0}, {0, 0}},
       {0xA0B0C0D0, 0x11223344, 0xDEADBEEF},
       {1, 0, 1},
       0x416BBE09186FE0D7ULL},
      {{{4, 0}}, {1, 2, 3}, {1}, kOutside},                     // four components, three words
      {{{1, 3}}, {1, 2, 3}, {1}, kOutside},                     // first word past the end
      {{{0x7FFFFFFF, 0xFFFFFFFFu}}, {1, 2, 3}, {1}, kOutside},  // past 32-bit arithmetic
      {{{2, 0xFFFFFFFFu}}, {1, 2, 3}, {1}, kOutside},           // wraps to 1 in 32 bits
      {{{1, 0}}, {1, 2, 3}, {0, 1}, kOutside},                  // field 1 has no descriptor
  };
  for (const Case& c : cases) {
    const Record r{c.layout, c.words, c.kinds};
    if (c.expected == kOutside)
      EXPECT_THAT([&] { r.typed_hash(); },
                  testing::ThrowsMessage<std::invalid_argument>(
                      testing::StrEq("graph.Record.typed_hash: field outside the record")));
    else
      EXPECT_EQ(r.typed_hash(), c.expected);  // a failure prints the value, naming the case
  }
}

constexpr unsigned char kNever = Schedule::kNeverCached;
constexpr unsigned char kNoInputs = Schedule::kIgnoresInputs;
constexpr unsigned char kAlways = Schedule::kInputsAlways;

// Node i has key 1000 + i; a cached node sits at slot 500 + i. The touch phase stays open, so
// every lookup (made with pin) leaves its key in `touched`.
std::vector<long> keys_for(std::size_t n) {
  std::vector<long> k(n);
  for (std::size_t i = 0; i < n; ++i) k[i] = 1000 + static_cast<long>(i);
  return k;
}
ResultCache cache_with(const std::vector<int>& nodes) {
  ResultCache c;
  for (int i : nodes) c.put(1000 + i, 500 + i, nullptr, 0, false, 0, false);
  c.touching = true;
  return c;
}

// `plan` has one letter per node: R runs, C is served from the cache, - is not needed.
TEST(Schedule, PlansFollowTheCacheAndTheFlags) {
  struct Case {
    std::vector<std::vector<int>> ups;
    std::vector<unsigned char> flags;
    std::vector<int> cached;
    std::string plan;
    std::vector<std::int32_t> uses;
    std::vector<long> looked_up;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}, "", {}, {}},
      {{{}, {0}, {1}}, {0, 0, 0}, {0, 1, 2}, "--C", {0, 0, 0}, {2}},        // cut off upstream
      {{{}, {0}, {1}}, {0, 0, kAlways}, {2}, "RRC", {1, 1, 0}, {0, 1, 2}},  // inputs kept
      {{{}, {0}}, {0, kNever | kNoInputs}, {0, 1}, "-R", {0, 0}, {}},       // alone; 0 unreachable
      {{{}, {0}, {0}, {1, 2, 1}}, {}, {}, "RRRR", {2, 2, 1, 0}, {0, 1, 2, 3}},  // diamond
  };
  for (const Case& t : cases) {
    ResultCache cache = cache_with(t.cached);
    Schedule s;
    s.build(t.ups, t.flags);
    const RunPlan p = s.run(keys_for(t.ups.size()), cache, true);
    std::string plan;  // the order is every needed node, ascending
    std::vector<std::int32_t> order;
    std::vector<long> looked_up;
    for (int i = 0; i < static_cast<int>(p.run.size()); ++i) {
      const long slot = p.slots.at(i);
      plan += p.run[i] ? (slot == -1 ? 'R' : '?') : slot == 500 + i ? 'C' : slot == -1 ? '-' : '?';
      if (plan.back() != '-') order.push_back(i);
      if (cache.touched.find(1000 + i)) looked_up.push_back(i);
    }
    EXPECT_EQ(std::tie(plan, p.order, p.uses, looked_up),
              std::tie(t.plan, order, t.uses, t.looked_up));
  }
}

TEST(Schedule, BuildsLooksUpAndRejectsBadIndices) {
  ResultCache c = cache_with({0, 1, 2});
  Schedule s;
  s.build({{}, {0}, {1}}, {0, kAlways, kAlways, 9});  // flags longer than the lists: cut
  EXPECT_EQ(s.flags.size(), 3u);
  s.run(keys_for(3), c, true);
  // Lookups go downwards; each pinned one moves its entry to the pinned list's recent end.
  EXPECT_EQ(c.keys(true), (std::vector<long>{1002, 1001, 1000}));
  EXPECT_EQ(s.ups(1), (std::vector<int>{0}));
  for (int bad : {-1, 3, 0x7FFFFFFF}) EXPECT_THROW(s.ups(bad), std::out_of_range) << bad;

  s.build({{}, {0}, {1}}, {});  // flags shorter: padded with 0
  EXPECT_EQ(s.flags, (std::vector<std::uint8_t>{0, 0, 0}));
  c = cache_with({1, 2});
  EXPECT_THROW(s.run({1000, 1001}, c, true), std::out_of_range);  // key of node 2 missing
  s.flags[2] = kNever;  // a never-cached target is not looked up, so its key may be missing
  EXPECT_EQ(s.run({1000, 1001}, c, true).slots, (std::vector<long>{-1, 501, -1}));
  c.clear();
  for (int bad : {-1, 3, 1 << 30}) {
    s.build({{}, {0}, {bad}}, {});
    EXPECT_THROW(s.run(keys_for(3), c, false), std::out_of_range) << bad;
  }
}

using Fn = std::function<std::optional<long>(int, bool)>;

TEST(Walk, FailuresLeaveEarlierUpdatesAndNoMarks) {
  Fn none;
  EXPECT_EQ(Walk().walk({0, 1}, true, none), 0);  // never built: no nodes, no call
  Walk w;
  w.build({{}, {0}, {1}}, {0, 0, 0}, {100, 101, 102});
  EXPECT_EQ(w.walk({}, false, none), 0);  // an empty callback fails only when it is needed
  EXPECT_THROW(w.walk({1}, false, none), std::bad_function_call);
  auto fn = [](int i, bool) -> std::optional<long> {
    if (i == 2) throw std::runtime_error("host failure");
    return 50 + i;
  };
  EXPECT_THROW(w.walk({0}, false, fn), std::runtime_error);
  EXPECT_EQ(w.keys, (std::vector<long>{50, 51, 102}));
  EXPECT_EQ(w.walk({}, false, none), 0);  // the failed walks' dirty marks are gone
  // Any one of the node arrays resized since the build is refused before it is read.
  const std::function<void(Walk&)> resizes[] = {
      [](Walk& x) { x.keys.push_back(9); }, [](Walk& x) { x.up_starts.push_back(0); },
      [](Walk& x) { x.flags.pop_back(); }, [](Walk& x) { x.marks.pop_back(); },
      [](Walk& x) { x.changed.pop_back(); }};
  for (const auto& resize : resizes) {
    Walk x = w;
    resize(x);
    EXPECT_THAT([&] { x.walk({}, true, none); },
                testing::ThrowsMessage<std::invalid_argument>(
                    testing::StrEq("graph.Walk.walk: keys resized since build")));
  }
}

// Random sparse graphs (the first one empty) against the plain rule: a node is asked when dirty
// (true), when a direct upstream node changed key in this walk (true), or when flagged or `all`
// (false); it sees its upstream nodes' new keys. Dirty lists include -1 and n. Long quiet
// stretches between flagged and dirty nodes exercise the skipping of untouched nodes.
// Each graph is first offered with one fault (a count that differs, or an upstream index that is
// negative, the node itself or downstream of it, after valid lists): the build must fail with
// its message and leave the last graph exactly as it was, so that no later walk reads past it.
TEST(WalkModel, RandomGraphsFollowThePlainRule) {
  std::mt19937_64 rng(424242);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto state = [](const Walk& x) {
    return std::tie(x.up_starts, x.up_nodes, x.flags, x.marks, x.changed, x.keys, x.changed_list);
  };
  Walk w;
  for (int round = 0; round < 200; ++round) {
    const int n = round == 0 ? 0 : 1 + below(300);
    std::vector<std::vector<int>> ups(n);
    std::vector<unsigned char> flags(n, 0);
    std::vector<long> keys(n, 0);
    for (int i = 1; i < n; ++i)
      for (int e = below(3); e > 0; --e) ups[i].push_back(below(i));
    for (int f = n ? below(4) : 0; f > 0; --f) flags[below(n)] = 1;

    auto bad_ups = ups;
    auto bad_flags = flags;
    const char* message = "graph.Walk.build: not upstream first";
    if (const int how = below(5); how < 2 || n == 0) {
      if (how == 0)
        bad_ups.emplace_back();
      else
        bad_flags.push_back(0);
      message = "graph.Walk.build: sizes differ";
    } else {
      const int i = below(n);  // -1, i itself, or downstream
      bad_ups[i].push_back(how == 2 ? -1 : i + below(3));
    }
    const Walk before = w;
    EXPECT_THAT([&] { w.build(bad_ups, bad_flags, keys); },
                testing::ThrowsMessage<std::invalid_argument>(testing::StrEq(message)));
    ASSERT_TRUE(state(w) == state(before));
    w.build(ups, flags, keys);

    for (int pass = 0; pass < 3; ++pass) {
      std::vector<int> dirty;
      for (int d = below(4); d > 0; --d) dirty.push_back(below(n + 2) - 1);
      const bool all = below(8) == 0;
      std::vector<int> answer(n);  // per node: nothing, its old key, or a new key
      for (int& a : answer) a = below(3);
      auto reply = [&](int i) -> std::optional<long> {
        if (answer[i] == 0) return std::nullopt;
        return answer[i] == 1 ? keys[i] : 1000 * (pass + 1) + i;
      };

      std::vector<std::pair<int, bool>> expected, calls;
      std::vector<std::uint8_t> changed(n, 0);
      std::vector<std::int32_t> changed_list;
      for (int i = 0; i < n; ++i) {
        const bool is_dirty = std::find(dirty.begin(), dirty.end(), i) != dirty.end();
        const bool woken =
            std::any_of(ups[i].begin(), ups[i].end(), [&](int d) { return changed[d]; });
        if (!is_dirty && !woken && !flags[i] && !all) continue;
        expected.emplace_back(i, is_dirty || woken);
        if (std::optional<long> r = reply(i); r && *r != keys[i]) {
          keys[i] = *r;
          changed[i] = 1;
          changed_list.push_back(i);
        }
      }

      const int count = w.walk(dirty, all, [&](int i, bool up) {
        calls.emplace_back(i, up);
        for (int d : ups[i]) EXPECT_EQ(w.keys[d], keys[d]);
        return reply(i);
      });
      ASSERT_EQ(calls, expected) << "round " << round << " pass " << pass;
      ASSERT_EQ(count, static_cast<int>(expected.size()));
      ASSERT_TRUE(std::tie(w.keys, w.changed, w.changed_list) ==
                  std::tie(keys, changed, changed_list));
      ASSERT_EQ(w.marks, std::vector<std::uint8_t>(n, 0));
    }
  }
}

}  // namespace
