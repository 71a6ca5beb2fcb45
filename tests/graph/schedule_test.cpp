#include "quarn/graph/schedule.h"

#include "quarn/graph/record.h"
#include "quarn/graph/walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using qn::graph::CachePopped;
using qn::graph::Record;
using qn::graph::ResultCache;
using qn::graph::RunPlan;
using qn::graph::Schedule;
using Ups = std::vector<std::vector<int>>;

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
    Ups ups;
    std::vector<unsigned char> flags;
    std::vector<int> cached;
    std::string plan;
    std::vector<std::int32_t> uses;
    std::vector<long> looked_up;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}, "", {}, {}},
      {{{}, {0}, {1}}, {0, 0, 0}, {0, 1, 2}, "--C", {0, 0, 0}, {2}},            // cut off upstream
      {{{}, {0}, {1}}, {0, 0, kAlways}, {2}, "RRC", {1, 1, 0}, {0, 1, 2}},      // inputs kept
      {{{}, {0}}, {0, kNever | kNoInputs}, {0, 1}, "-R", {0, 0}, {}},           // stands alone
      {{{}, {0}, {0}, {1, 2, 1}}, {}, {}, "RRRR", {2, 2, 1, 0}, {0, 1, 2, 3}},  // diamond
      {{{}, {0}, {}, {2}}, {}, {1}, "--RR", {0, 0, 1, 0}, {2, 3}},              // unreachable
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const Case& t = cases[c];
    ResultCache cache = cache_with(t.cached);
    Schedule s;
    s.build(t.ups, t.flags);
    RunPlan p = s.run(keys_for(t.ups.size()), cache, true);
    std::string plan;
    std::vector<long> looked_up;
    for (std::size_t i = 0; i < t.ups.size(); ++i) {
      plan += p.run[i] ? 'R' : p.slots[i] == 500 + static_cast<long>(i) ? 'C' : '-';
      if (p.run[i]) {
        EXPECT_EQ(p.slots[i], -1) << "case " << c << " node " << i;
      }
      if (cache.touched.find(1000 + static_cast<long>(i)))
        looked_up.push_back(static_cast<long>(i));
    }
    std::vector<std::int32_t> order;
    for (std::size_t i = 0; i < plan.size(); ++i)
      if (plan[i] != '-') order.push_back(static_cast<std::int32_t>(i));
    EXPECT_EQ(plan, t.plan) << "case " << c;
    EXPECT_EQ(p.order, order) << "case " << c;
    EXPECT_EQ(p.uses, t.uses) << "case " << c;
    EXPECT_EQ(looked_up, t.looked_up) << "case " << c;
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

// The README's frame request: one float knob per node. Frame 1 renders everything, frame 2
// serves the target and lets the unused textures go (1 MiB of unpinned ones may stay); after a
// knob of node 1 changes, nodes 1 and 2 get new keys and render again with node 0, which left.
TEST(Schedule, HostFrameRequests) {
  const Ups ups{{}, {0}, {0, 1}};
  std::vector<float> knobs{0.5f, 2.0f, 1.0f};
  const Record::Field field{1, 0};
  const std::uint8_t kind = 1;
  qn::graph::Walk walk;
  walk.build(ups, {0, 0, 0}, {0, 0, 0});
  Schedule schedule;
  schedule.build(ups, {0, 0, 0});
  ResultCache cache;
  long next_texture = 1;
  auto edit = [&](std::vector<int> dirty) {
    walk.walk(dirty, false, [&](int i, bool) -> std::optional<long> {
      const auto n = static_cast<std::size_t>(i);
      Record params{
          {&field, 1}, {reinterpret_cast<const std::uint32_t*>(&knobs[n]), 1}, {&kind, 1}};
      std::uint64_t key = params.typed_hash();
      for (int u : ups[n])
        key = key * 31 + static_cast<std::uint64_t>(walk.keys[static_cast<std::size_t>(u)]);
      return static_cast<long>(key);
    });
  };
  // Renders what the plan says; returns the nodes rendered and the textures freed after it.
  using Done = std::pair<std::vector<int>, std::vector<long>>;
  auto frame = [&] {
    Done done;
    cache.touching = true;
    RunPlan plan = schedule.run(walk.keys, cache, true);
    for (int i : plan.order) {
      const auto n = static_cast<std::size_t>(i);
      if (!plan.run[n]) continue;
      done.first.push_back(i);
      std::pair<long, long> memory{next_texture, 1 << 20};
      cache.put(walk.keys[n], next_texture++, &memory, 1, false, 0.0, true);
    }
    cache.end_touch({});
    for (const CachePopped& gone : cache.evict(1 << 20, 8 << 20)) done.second.push_back(gone.slot);
    return done;
  };
  edit({0, 1, 2});
  EXPECT_EQ(frame(), (Done{{0, 1, 2}, {}}));
  EXPECT_EQ(frame(), (Done{{}, {1}}));
  knobs[1] = 3.0f;
  edit({1});
  EXPECT_EQ(walk.changed_list, (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(frame(), (Done{{0, 1, 2}, {2}}));  // node 1's old texture leaves; node 2's may stay
}

}  // namespace
