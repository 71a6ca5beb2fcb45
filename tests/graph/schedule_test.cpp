#include "quarn/graph/schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qn::graph::ResultCache;
using qn::graph::RunPlan;
using qn::graph::Schedule;

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
    RunPlan want;
    std::vector<long> looked_up;
    for (std::size_t i = 0; i < t.plan.size(); ++i) {
      if (t.plan[i] != '-') want.order.push_back(static_cast<std::int32_t>(i));
      want.run.push_back(t.plan[i] == 'R');
      want.slots.push_back(t.plan[i] == 'C' ? 500 + static_cast<long>(i) : -1);
      if (cache.touched.find(1000 + static_cast<long>(i)))
        looked_up.push_back(static_cast<long>(i));
    }
    EXPECT_EQ(p.order, want.order) << t.plan;
    EXPECT_EQ(p.run, want.run) << t.plan;
    EXPECT_EQ(p.slots, want.slots) << t.plan;
    EXPECT_EQ(p.uses, t.uses) << t.plan;
    EXPECT_EQ(looked_up, t.looked_up) << t.plan;
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

}  // namespace
