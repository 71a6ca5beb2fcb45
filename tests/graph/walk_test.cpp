#include "quarn/graph/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using qn::graph::Walk;
using Ups = std::vector<std::vector<int>>;
using Fn = std::function<std::optional<long>(int, bool)>;

std::string build_error(Walk& w, Ups ups, std::vector<unsigned char> flags,
                        std::vector<long> keys) {
  try {
    w.build(std::move(ups), std::move(flags), std::move(keys));
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(Walk, FailingCallbacksKeepEarlierUpdatesAndClearMarks) {
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
  EXPECT_EQ(w.marks, (std::vector<std::uint8_t>(3, 0)));
  EXPECT_EQ(w.walk({}, false, none), 0);  // the failed walk's dirty marks are gone
}

TEST(Walk, RefusesKeysResizedByTheHost) {
  Walk w;
  w.build({{}}, {0}, {1});
  w.keys.push_back(9);
  try {
    w.walk({}, true, Fn());
    ADD_FAILURE() << "no throw";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "graph.Walk.walk: keys resized since build");
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
    const auto size = static_cast<std::size_t>(n);
    Ups ups(size);
    std::vector<unsigned char> flags(size, 0);
    for (int i = 1; i < n; ++i)
      for (int e = below(3); e > 0; --e) ups[static_cast<std::size_t>(i)].push_back(below(i));
    for (int f = n ? below(4) : 0; f > 0; --f) flags[static_cast<std::size_t>(below(n))] = 1;
    std::vector<long> keys(size, 0);

    Ups bad_ups = ups;
    std::vector<unsigned char> bad_flags = flags;
    const char* message = "graph.Walk.build: not upstream first";
    if (const int how = below(5); how < 2 || n == 0) {
      if (how == 0)
        bad_ups.emplace_back();
      else
        bad_flags.push_back(0);
      message = "graph.Walk.build: sizes differ";
    } else {
      const int i = below(n);  // -1, i itself, or downstream
      bad_ups[static_cast<std::size_t>(i)].push_back(how == 2 ? -1 : i + below(3));
    }
    const Walk before = w;
    ASSERT_EQ(build_error(w, bad_ups, bad_flags, keys), message);
    ASSERT_TRUE(state(w) == state(before));
    w.build(ups, flags, keys);

    for (int pass = 0; pass < 3; ++pass) {
      std::vector<int> dirty;
      for (int d = below(4); d > 0; --d) dirty.push_back(below(n + 2) - 1);
      const bool all = below(8) == 0;
      // Each node's answer for this pass: a new key, its old key, or nothing.
      std::vector<int> answer(size);
      for (int& a : answer) a = below(3);
      auto reply = [&](int i) -> std::optional<long> {
        const int a = answer[static_cast<std::size_t>(i)];
        if (a == 0) return std::nullopt;
        return a == 1 ? keys[static_cast<std::size_t>(i)] : 1000 * (pass + 1) + i;
      };

      std::vector<std::pair<int, bool>> expected, calls;
      std::vector<std::uint8_t> changed(size, 0);
      std::vector<std::int32_t> changed_list;
      for (int i = 0; i < n; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const bool is_dirty = std::find(dirty.begin(), dirty.end(), i) != dirty.end();
        bool woken = false;
        for (int d : ups[u]) woken |= changed[static_cast<std::size_t>(d)] != 0;
        if (!is_dirty && !woken && !flags[u] && !all) continue;
        expected.emplace_back(i, is_dirty || woken);
        std::optional<long> r = reply(i);
        if (r && *r != keys[u]) {
          keys[u] = *r;
          changed[u] = 1;
          changed_list.push_back(i);
        }
      }

      const int count = w.walk(dirty, all, [&](int i, bool up) {
        calls.emplace_back(i, up);
        for (int d : ups[static_cast<std::size_t>(i)])
          EXPECT_EQ(w.keys[static_cast<std::size_t>(d)], keys[static_cast<std::size_t>(d)]);
        return reply(i);
      });
      ASSERT_EQ(calls, expected) << "round " << round << " pass " << pass;
      ASSERT_EQ(count, static_cast<int>(expected.size()));
      ASSERT_EQ(w.keys, keys);
      ASSERT_EQ(w.changed, changed);
      ASSERT_EQ(w.changed_list, changed_list);
      ASSERT_EQ(w.marks, std::vector<std::uint8_t>(size, 0));
    }
  }
}

}  // namespace
