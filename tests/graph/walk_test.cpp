#include "quarn/graph/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using qn::graph::Walk;
using Calls = std::vector<std::pair<int, bool>>;

// A callback that records its calls and answers from a table: node -> new key (absent: none).
struct Recorder {
  std::map<int, long> answers;
  Calls calls;
  std::function<std::optional<long>(int, bool)> fn() {
    return [this](int i, bool up) -> std::optional<long> {
      calls.emplace_back(i, up);
      auto it = answers.find(i);
      if (it == answers.end()) return std::nullopt;
      return it->second;
    };
  }
};

Walk chain(int n, std::vector<unsigned char> flags = {}) {
  std::vector<std::vector<int>> ups(static_cast<std::size_t>(n));
  for (int i = 1; i < n; ++i) ups[static_cast<std::size_t>(i)] = {i - 1};
  flags.resize(static_cast<std::size_t>(n), 0);
  std::vector<long> keys(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) keys[static_cast<std::size_t>(i)] = 100 + i;
  Walk w;
  w.build(ups, flags, keys);
  return w;
}

std::string build_error(Walk& w, std::vector<std::vector<int>> ups,
                        std::vector<unsigned char> flags, std::vector<long> keys) {
  try {
    w.build(std::move(ups), std::move(flags), std::move(keys));
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(WalkBuild, LaysOutUpstreamListsAsCompressedRows) {
  Walk w;
  w.build({{}, {0}, {0, 1, 0}}, {0, 1, 0}, {1, 2, 3});
  EXPECT_EQ(w.up_starts, (std::vector<std::int32_t>{0, 0, 1, 4}));
  EXPECT_EQ(w.up_nodes, (std::vector<std::int32_t>{0, 0, 1, 0}));
  EXPECT_EQ(w.flags, (std::vector<std::uint8_t>{0, 1, 0}));
  EXPECT_EQ(w.keys, (std::vector<long>{1, 2, 3}));
  EXPECT_EQ(w.marks, (std::vector<std::uint8_t>(3, 0)));
  EXPECT_EQ(w.changed, (std::vector<std::uint8_t>(3, 0)));
  w.changed_list = {1};
  w.build({{}}, {0}, {5});
  EXPECT_EQ(w.changed_list, (std::vector<std::int32_t>{1}));  // left as it was
}

TEST(WalkBuild, RejectsBadInputWithFixedMessages) {
  struct Case {
    const char* name;
    std::vector<std::vector<int>> ups;
    std::vector<unsigned char> flags;
    std::vector<long> keys;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"one list too many", {{}, {}}, {0}, {1}, "graph.Walk.build: sizes differ"},
      {"one flag too few", {{}, {}}, {0}, {1, 2}, "graph.Walk.build: sizes differ"},
      {"node 0 with an upstream", {{0}}, {0}, {1}, "graph.Walk.build: not upstream first"},
      {"self reference", {{}, {1}}, {0, 0}, {1, 2}, "graph.Walk.build: not upstream first"},
      {"downstream reference",
       {{}, {2}, {}},
       {0, 0, 0},
       {1, 2, 3},
       "graph.Walk.build: not upstream first"},
      {"negative index", {{}, {-1}}, {0, 0}, {1, 2}, "graph.Walk.build: not upstream first"},
  };
  for (const Case& c : cases) {
    Walk w;
    EXPECT_EQ(build_error(w, c.ups, c.flags, c.keys), c.message) << c.name;
  }
}

TEST(WalkBuild, FailedBuildLeavesTheObjectExactlyAsItWas) {
  Walk w = chain(3, {0, 1, 0});
  Recorder r;
  r.answers = {{0, 7}};
  w.walk({0}, false, r.fn());
  const Walk before = w;
  // Valid lists for nodes 0..3, then a bad one at the last node: nothing may have changed,
  // not even the adjacency of the nodes that passed (a partial rebuild beside the old keys and
  // flags would let the next walk read past them).
  EXPECT_EQ(build_error(w, {{}, {0}, {1}, {0, 2}, {4}}, {0, 0, 0, 0, 0}, {1, 2, 3, 4, 5}),
            "graph.Walk.build: not upstream first");
  EXPECT_EQ(w.up_starts, before.up_starts);
  EXPECT_EQ(w.up_nodes, before.up_nodes);
  EXPECT_EQ(w.flags, before.flags);
  EXPECT_EQ(w.marks, before.marks);
  EXPECT_EQ(w.changed, before.changed);
  EXPECT_EQ(w.keys, before.keys);
  EXPECT_EQ(w.changed_list, before.changed_list);
  // And it still walks as the old graph.
  Recorder again;
  again.answers = {{0, 8}, {1, 9}};
  EXPECT_EQ(w.walk({0}, false, again.fn()), 3);
}

TEST(Walk, EmptyGraphCallsNothing) {
  Walk fresh;
  Recorder r;
  EXPECT_EQ(fresh.walk({0, 1}, true, r.fn()), 0);
  Walk built;
  built.build({}, {}, {});
  EXPECT_EQ(built.walk({}, true, r.fn()), 0);
  EXPECT_TRUE(r.calls.empty());
}

TEST(Walk, CallbackSeesTheNewKeysOfItsUpstreamNodes) {
  Walk w;
  w.build({{}, {}, {0, 1}}, {0, 0, 0}, {1, 2, 3});
  std::vector<long> seen;
  w.walk({0, 1}, false, [&](int i, bool) -> std::optional<long> {
    if (i == 2) seen = {w.keys[0], w.keys[1]};
    return 10 * (i + 1);
  });
  EXPECT_EQ(seen, (std::vector<long>{10, 20}));
}

TEST(Walk, FailingCallbacksKeepEarlierUpdatesAndClearMarks) {
  Walk w = chain(3);
  std::function<std::optional<long>(int, bool)> none;
  EXPECT_EQ(w.walk({}, false, none), 0);  // an empty callback fails only when it is needed
  EXPECT_THROW(w.walk({1}, false, none), std::bad_function_call);
  auto fn = [](int i, bool) -> std::optional<long> {
    if (i == 2) throw std::runtime_error("host failure");
    return 50 + i;
  };
  EXPECT_THROW(w.walk({0}, false, fn), std::runtime_error);
  EXPECT_EQ(w.keys, (std::vector<long>{50, 51, 102}));
  EXPECT_EQ(w.marks, (std::vector<std::uint8_t>(3, 0)));
  Recorder r;
  EXPECT_EQ(w.walk({}, false, r.fn()), 0);  // the failed walk's dirty marks are gone
}

TEST(Walk, RefusesKeysResizedByTheHost) {
  Walk w = chain(3);
  w.keys.push_back(9);
  Recorder r;
  try {
    w.walk({}, true, r.fn());
    ADD_FAILURE() << "no throw";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "graph.Walk.walk: keys resized since build");
  }
  EXPECT_TRUE(r.calls.empty());
}

// Random sparse graphs against the plain rule: a node is asked when dirty (true), when a direct
// upstream node changed key in this walk (true), or when flagged or `all` (false). Long quiet
// stretches between flagged and dirty nodes exercise the skipping of untouched nodes.
TEST(WalkModel, RandomGraphsFollowThePlainRule) {
  std::mt19937_64 rng(424242);
  for (int round = 0; round < 200; ++round) {
    const int n = 1 + static_cast<int>(rng() % 300);
    std::vector<std::vector<int>> ups(static_cast<std::size_t>(n));
    std::vector<unsigned char> flags(static_cast<std::size_t>(n), 0);
    for (int i = 1; i < n; ++i)
      for (int e = static_cast<int>(rng() % 3); e > 0; --e)
        ups[static_cast<std::size_t>(i)].push_back(
            static_cast<int>(rng() % static_cast<unsigned>(i)));
    for (int f = static_cast<int>(rng() % 4); f > 0; --f)
      flags[rng() % static_cast<unsigned>(n)] = 1;
    Walk w;
    w.build(ups, flags, std::vector<long>(static_cast<std::size_t>(n), 0));
    std::vector<long> keys(static_cast<std::size_t>(n), 0);

    for (int pass = 0; pass < 3; ++pass) {
      std::vector<int> dirty;
      for (int d = static_cast<int>(rng() % 4); d > 0; --d)
        dirty.push_back(static_cast<int>(rng() % static_cast<unsigned>(n + 2)) - 1);
      const bool all = rng() % 8 == 0;
      // Each node's answer for this pass: a new key, its old key, or nothing.
      std::vector<int> answer(static_cast<std::size_t>(n));
      for (int& a : answer) a = static_cast<int>(rng() % 3);
      auto reply = [&](int i) -> std::optional<long> {
        const auto a = answer[static_cast<std::size_t>(i)];
        if (a == 0) return std::nullopt;
        return a == 1 ? keys[static_cast<std::size_t>(i)] : 1000 * (pass + 1) + i;
      };

      Calls expected;
      std::vector<char> changed(static_cast<std::size_t>(n), 0);
      for (int i = 0; i < n; ++i) {
        const bool is_dirty = std::find(dirty.begin(), dirty.end(), i) != dirty.end();
        bool woken = false;
        for (int d : ups[static_cast<std::size_t>(i)])
          woken |= changed[static_cast<std::size_t>(d)] != 0;
        if (!is_dirty && !woken && !flags[static_cast<std::size_t>(i)] && !all) continue;
        expected.emplace_back(i, is_dirty || woken);
        std::optional<long> r = reply(i);
        if (r && *r != keys[static_cast<std::size_t>(i)]) {
          keys[static_cast<std::size_t>(i)] = *r;
          changed[static_cast<std::size_t>(i)] = 1;
        }
      }

      Calls calls;
      const int count = w.walk(dirty, all, [&](int i, bool up) {
        calls.emplace_back(i, up);
        return reply(i);
      });
      ASSERT_EQ(calls, expected) << "round " << round << " pass " << pass;
      ASSERT_EQ(count, static_cast<int>(expected.size()));
      ASSERT_EQ(w.keys, keys);
      ASSERT_EQ(w.marks, std::vector<std::uint8_t>(static_cast<std::size_t>(n), 0));
    }
  }
}

}  // namespace
