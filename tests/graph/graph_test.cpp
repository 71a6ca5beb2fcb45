#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quarn/graph/flat_map.h"
#include "quarn/graph/record.h"
#include "quarn/graph/schedule.h"
#include "quarn/graph/walk.h"
#include "support/throws.h"

namespace {

using namespace qn::graph;
using qn_test::throws;

// Against std::unordered_map. `wrapping` keys all hash to the last slot of tables up to 256 slots
// (their runs wrap to the front); the last run grows past the huge-page threshold.
TEST(FlatMapModel, MatchesUnorderedMapWithWrappingRuns) {
  for (const auto& [seed, ops, wrapping, spread, clears] :
       {std::array<long, 5>{20240611, 300'000, 120, 40, 4},
        {7, 200'000, 200, 30'000, 4},
        {3, 1'200'000, 20, 350'000, 0}}) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    std::vector<long> keys{0, -1, LONG_MIN, LONG_MAX};
    for (long k = -5'000'000; static_cast<int>(keys.size()) < 4 + wrapping; ++k)
      if ((internal::fmix64(static_cast<std::uint64_t>(k)) & 0xFF) == 0xFF) keys.push_back(k);
    for (int i = 0; i < spread; ++i) keys.push_back(static_cast<long>(rng()));

    FlatMap<int> m;
    std::unordered_map<long, int> ref;
    std::size_t max_capacity = 0;
    for (int step = 0; step < ops; ++step) {
      const long k = keys[rng() % keys.size()];
      const int op = static_cast<int>(rng() % 10);
      if (clears && step % (ops / clears) == 0) {  // the capacity stays
        m.clear();
        ref.clear();
        ASSERT_EQ(m.capacity(), max_capacity);
      } else if (op < 4) {  // grows first at 3/4 load, even when the key is present
        const std::size_t cap = m.capacity();
        const bool grows = 4 * (m.size() + 1) > 3 * cap;
        auto [v, added] = m.insert(k);
        ASSERT_EQ(m.capacity(), grows ? std::max<std::size_t>(64, 2 * cap) : cap);
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
      ASSERT_GE(m.capacity(), max_capacity);  // never shrinks
      max_capacity = m.capacity();
    }
    std::unordered_map<long, int> seen;
    m.for_each([&](long key, int value) { seen[key] = value; });
    EXPECT_EQ(seen, ref);
    EXPECT_EQ(m.capacity() * sizeof(FlatMap<int>::Slot) >= internal::kHugeTableBytes, !clears);
  }
}

// FNV-1a 64 worked out by hand over the bytes each case names.
TEST(RecordTypedHash, MatchesHandComputedFnvOrRefusesFieldsOutsideTheRecord) {
  constexpr std::uint64_t kOutside = 0;
  struct Case {
    std::vector<Record::Field> layout;
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> kinds;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {{{4, 0}}, {7, 7, 7, 7}, {2}, 0x44BD29D473CCF433ULL},  // kind 2: its kind byte only
      {{}, {}, {7, 255, 0}, 0xB34BCA4F40A3B6ABULL},          // no kind 1: no descriptor read
      // 01 00 01 | words 1..2 | word 0 (a count of 0 reads one word); kind 0 reads nothing.
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
      EXPECT_THAT(
          [&] { r.typed_hash(); },
          throws<std::invalid_argument>("graph.Record.typed_hash: field outside the record"));
    else
      EXPECT_EQ(r.typed_hash(), c.expected);  // a failure prints the value, naming the case
  }
}

// Down from the target, a needed node runs when never cached or missing, and needs its inputs
// when it runs and reads them or always needs them. Flag lists of any length, short key lists and
// bad upstream indices: a needed node's missing key or bad index throws after earlier lookups.
TEST(ScheduleModel, RandomRequestsFollowThePlainRule) {
  std::mt19937_64 rng(99);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 2000; ++round) {
    const int n = round == 0 ? 0 : 1 + below(10);
    std::vector<std::vector<int>> ups(n);
    std::vector<unsigned char> flags(static_cast<std::size_t>(below(n + 3)));
    for (unsigned char& f : flags) f = static_cast<unsigned char>(below(16));  // 8 is no flag
    std::vector<long> keys(static_cast<std::size_t>(n - (below(8) == 0 ? below(n + 1) : 0)));
    std::vector<bool> cached(n);
    ResultCache cache;
    cache.touching = true;
    for (int i = 0; i < n; ++i) {
      for (int e = i ? below(4) : 0; e > 0; --e) ups[i].push_back(below(i));
      if (below(20) == 0) ups[i].push_back(std::array{-1, n, 1 << 30}[below(3)]);
      if ((cached[i] = below(2))) cache.put(1000 + i, 500 + i, nullptr, 0, false, 0, false);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = 1000 + static_cast<long>(i);
    const bool pin = below(2);
    Schedule s;
    s.build(ups, flags);
    flags.resize(n, 0);
    ASSERT_EQ(s.flags, flags);
    for (int i = 0; i < n; ++i) ASSERT_EQ(s.ups(i), ups[i]);
    for (int bad : {-1, n, INT_MAX}) EXPECT_THROW(s.ups(bad), std::out_of_range);

    RunPlan want{{}, std::vector<std::uint8_t>(n), std::vector<long>(n, -1), std::vector<int>(n)};
    std::vector<bool> needed(n), reads(n);
    std::vector<long> hits;
    std::size_t lookups = 0;
    bool fails = false;
    if (n) needed[n - 1] = true;
    for (int i = n - 1; i >= 0 && !fails; --i) {
      if (!needed[i]) continue;
      const bool never = flags[i] & Schedule::kNeverCached;
      if (!never && (fails = i >= static_cast<int>(keys.size()))) break;
      lookups += !never;
      if (!never && cached[i]) hits.push_back(1000 + i);
      want.run[i] = never || !cached[i];
      want.slots[i] = want.run[i] ? -1 : 500 + i;
      reads[i] = (want.run[i] && !(flags[i] & Schedule::kIgnoresInputs)) ||
                 (flags[i] & Schedule::kInputsAlways);
      for (int u = 0; reads[i] && u < static_cast<int>(ups[i].size()) && !fails; ++u)
        if (!(fails = ups[i][u] < 0 || ups[i][u] >= n)) needed[ups[i][u]] = true;
    }
    for (int i = 0; i < n && !fails; ++i) {
      if (needed[i]) want.order.push_back(i);
      if (needed[i] && reads[i])
        for (int u : ups[i]) ++want.uses[u];
    }

    if (fails) {
      EXPECT_THROW(s.run(keys, cache, pin), std::out_of_range) << "round " << round;
    } else {
      const RunPlan got = s.run(keys, cache, pin);
      ASSERT_TRUE(std::tie(got.order, got.run, got.slots, got.uses) ==
                  std::tie(want.order, want.run, want.slots, want.uses))
          << "round " << round;
    }
    // Hits go to the recent end of the pinned or their own list, in lookup order.
    const std::vector<long> listed = cache.keys(pin);
    ASSERT_GE(listed.size(), hits.size());
    EXPECT_EQ(std::vector<long>(listed.end() - hits.size(), listed.end()), hits);
    EXPECT_EQ(cache.touched.size(), pin ? lookups : 0);
  }
}

// A node is asked when dirty or an upstream key changed in this walk (true), or when flagged or
// `all` (false). Each graph is first offered with one fault, which leaves the last graph as it
// was. Some walks fail: the host throws (earlier updates stay), no callback, a resized array.
TEST(WalkModel, RandomGraphsFollowThePlainRule) {
  std::mt19937_64 rng(424242);
  auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto state = [](const Walk& x) {
    return std::tie(x.up_starts, x.up_nodes, x.flags, x.marks, x.changed, x.keys, x.changed_list);
  };
  const std::function<void(Walk&)> resizes[] = {
      [](Walk& x) { x.keys.push_back(9); }, [](Walk& x) { x.up_starts.push_back(0); },
      [](Walk& x) { x.flags.push_back(0); }, [](Walk& x) { x.marks.push_back(0); },
      [](Walk& x) { x.changed.push_back(0); }};
  Walk w;
  EXPECT_EQ(w.walk({0, 1}, true, {}), 0);  // never built: no nodes, no call
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
    const int how = below(n ? 5 : 2), i = n ? below(n) : 0;  // 2 to 4: -1, i itself, downstream
    if (how == 0) bad_ups.emplace_back();
    if (how == 1) bad_flags.push_back(0);
    if (how >= 2) bad_ups[i].push_back(how == 2 ? -1 : i + below(3));
    const char* message =
        how < 2 ? "graph.Walk.build: sizes differ" : "graph.Walk.build: not upstream first";
    const Walk before = w;
    EXPECT_THAT([&] { w.build(bad_ups, bad_flags, keys); }, throws<std::invalid_argument>(message));
    ASSERT_TRUE(state(w) == state(before));
    w.build(ups, flags, keys);

    for (int pass = 0; pass < 3; ++pass) {
      std::vector<int> dirty;
      for (int d = below(4); d > 0; --d) dirty.push_back(below(n + 2) - 1);
      const bool all = below(8) == 0;
      const int fails_at = below(4) ? -1 : below(n + 1);
      std::vector<int> answer(n);  // per node: nothing, its old key, or a new key
      for (int& a : answer) a = below(3);
      auto reply = [&](int i) -> std::optional<long> {
        if (i == fails_at) throw std::runtime_error("host failure");
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
        if (i == fails_at) break;
        if (std::optional<long> r = reply(i); r && *r != keys[i]) {
          keys[i] = *r;
          changed[i] = 1;
          changed_list.push_back(i);
        }
      }

      const auto fn = [&](int i, bool up) {
        calls.emplace_back(i, up);
        for (int d : ups[i]) EXPECT_EQ(w.keys[d], keys[d]);
        return reply(i);
      };
      if (below(8) == 0) {
        Walk x = w;
        resizes[below(5)](x);
        EXPECT_THAT([&] { x.walk(dirty, all, fn); },
                    throws<std::invalid_argument>("graph.Walk.walk: keys resized since build"));
      }
      if (expected.empty()) {
        ASSERT_EQ(w.walk(dirty, all, {}), 0);
      } else if (below(8) == 0) {
        EXPECT_THROW(w.walk(dirty, all, {}), std::bad_function_call);
      }
      if (!expected.empty() && expected.back().first == fails_at) {
        EXPECT_THROW(w.walk(dirty, all, fn), std::runtime_error);
      } else {
        ASSERT_EQ(w.walk(dirty, all, fn), static_cast<int>(expected.size()));
      }
      ASSERT_EQ(calls, expected) << "round " << round << " pass " << pass;
      ASSERT_TRUE(std::tie(w.keys, w.changed, w.changed_list) ==
                  std::tie(keys, changed, changed_list));
      ASSERT_EQ(w.marks, std::vector<std::uint8_t>(n, 0));
    }
  }
}

}  // namespace
