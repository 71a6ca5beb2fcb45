#include "quarn/graph/walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using qn::graph::Walk;
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
