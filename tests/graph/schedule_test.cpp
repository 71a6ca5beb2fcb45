#include "quarn/graph/schedule.h"

#include "quarn/graph/record.h"
#include "quarn/graph/walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using qn::graph::CachePopped;
using qn::graph::Record;
using qn::graph::ResultCache;
using qn::graph::RunPlan;
using qn::graph::Schedule;
using qn::graph::Walk;
using Ups = std::vector<std::vector<int>>;

constexpr unsigned char kNever = Schedule::kNeverCached;
constexpr unsigned char kNoInputs = Schedule::kIgnoresInputs;
constexpr unsigned char kInputsAlways = Schedule::kInputsAlways;

// Node i has key 1000 + i throughout.
std::vector<long> keys_for(std::size_t n) {
  std::vector<long> k(n);
  for (std::size_t i = 0; i < n; ++i) k[i] = 1000 + static_cast<long>(i);
  return k;
}

// A cache holding the given nodes at slot 500 + i, in an open touch phase so that every lookup
// made with `pin` leaves its key in `touched`.
ResultCache cache_with(const std::vector<int>& nodes) {
  ResultCache c;
  for (int i : nodes) c.put(1000 + i, 500 + i, nullptr, 0, false, 0, false);
  c.touching = true;
  return c;
}

std::vector<long> looked_up(const ResultCache& c, std::size_t n) {
  std::vector<long> out;
  for (std::size_t i = 0; i < n; ++i)
    if (c.touched.find(1000 + static_cast<long>(i))) out.push_back(static_cast<long>(i));
  return out;
}

RunPlan run(const Ups& ups, std::vector<unsigned char> flags, ResultCache& cache) {
  Schedule s;
  s.build(ups, std::move(flags));
  return s.run(keys_for(ups.size()), cache, true);
}

TEST(Schedule, EmptyScheduleGivesEmptyPlan) {
  ResultCache c;
  RunPlan p = run({}, {}, c);
  EXPECT_TRUE(p.order.empty() && p.run.empty() && p.slots.empty() && p.uses.empty());
}

using Order = std::vector<std::int32_t>;
using Flags = std::vector<unsigned char>;

struct PlanCase {
  const char* name;
  Ups ups;
  Flags flags;
  std::vector<int> cached;  // nodes in the cache (slot 500 + i)
  Order order;
  std::vector<std::uint8_t> run;
  std::vector<long> slots;
  std::vector<std::int32_t> uses;
  std::vector<long> looked_up;
};

TEST(Schedule, PlansFollowTheCacheAndTheFlags) {
  const std::vector<PlanCase> cases = {
      {"cached single node", {{}}, {0}, {0}, {0}, {0}, {500}, {0}, {0}},
      {"cached target cuts off its upstream",
       {{}, {0}, {1}},
       {0, 0, 0},
       {0, 1, 2},
       {2},
       {0, 0, 0},
       {-1, -1, 502},
       {0, 0, 0},
       {2}},
      {"inputs-always keeps the upstream of a cached node",
       {{}, {0}, {1}},
       {0, 0, kInputsAlways},
       {2},
       {0, 1, 2},
       {1, 1, 0},
       {-1, -1, 502},
       {1, 1, 0},
       {0, 1, 2}},
      {"never cached and ignoring inputs: stands alone, never looked up",
       {{}, {0}},
       {0, kNever | kNoInputs},
       {0, 1},
       {1},
       {0, 1},
       {-1, -1},
       {0, 0},
       {}},
      {"diamond, nothing cached",
       {{}, {0}, {0}, {1, 2}},
       {0, 0, 0, 0},
       {},
       {0, 1, 2, 3},
       {1, 1, 1, 1},
       {-1, -1, -1, -1},
       {2, 1, 1, 0},
       {0, 1, 2, 3}},
      {"an upstream listed twice is read twice",
       {{}, {0, 0}},
       {0, 0},
       {},
       {0, 1},
       {1, 1},
       {-1, -1},
       {2, 0},
       {0, 1}},
      {"unreachable nodes are left alone",
       {{}, {0}, {}, {2}},
       {0, 0, 0, 0},
       {1},
       {2, 3},
       {0, 0, 1, 1},
       {-1, -1, -1, -1},
       {0, 0, 1, 0},
       {2, 3}},
  };
  for (const PlanCase& c : cases) {
    ResultCache cache = cache_with(c.cached);
    RunPlan p = run(c.ups, c.flags, cache);
    EXPECT_EQ(p.order, c.order) << c.name;
    EXPECT_EQ(p.run, c.run) << c.name;
    EXPECT_EQ(p.slots, c.slots) << c.name;
    EXPECT_EQ(p.uses, c.uses) << c.name;
    EXPECT_EQ(looked_up(cache, c.ups.size()), c.looked_up) << c.name;
  }
}

TEST(Schedule, LooksUpInDescendingOrder) {
  ResultCache c;
  for (int i = 0; i < 3; ++i) c.put(1000 + i, 500 + i, nullptr, 0, false, 0, false);
  Schedule s;
  s.build({{}, {0}, {1}}, {0, kInputsAlways, kInputsAlways});
  s.run(keys_for(3), c, true);
  // Each lookup with pin moves the entry to the recent end of the pinned list.
  EXPECT_EQ(c.keys(true), (std::vector<long>{1002, 1001, 1000}));
}

TEST(Schedule, BuildPadsOrCutsFlags) {
  Schedule s;
  s.build({{}, {0}, {0, 1}}, {kNever});
  EXPECT_EQ(s.flags, (std::vector<std::uint8_t>{kNever, 0, 0}));
  EXPECT_EQ(s.up_starts, (std::vector<std::int32_t>{0, 0, 1, 3}));
  EXPECT_EQ(s.up_nodes, (std::vector<std::int32_t>{0, 0, 1}));
  s.build({{}}, {1, 2, 3});
  EXPECT_EQ(s.flags, (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(s.up_starts, (std::vector<std::int32_t>{0, 0}));
}

TEST(Schedule, UpsCopiesOneListAndChecksItsIndex) {
  Schedule s;
  s.build({{}, {0}, {1, 0}}, {});
  EXPECT_EQ(s.ups(2), (std::vector<int>{1, 0}));
  EXPECT_TRUE(s.ups(0).empty());
  for (int bad : {-1, 3, 1 << 30, 0x7FFFFFFF}) EXPECT_THROW(s.ups(bad), std::out_of_range) << bad;
}

TEST(Schedule, KeysShorterThanANeededNodeThrow) {
  ResultCache c = cache_with({1, 2});
  Schedule s;
  s.build({{}, {0}, {1}}, {0, 0, 0});
  EXPECT_THROW(s.run({1000, 1001}, c, true), std::out_of_range);
  EXPECT_TRUE(c.in_unpinned(1002));
  // A never-cached target is not looked up, so its key may be missing.
  s.flags[2] = kNever;
  RunPlan p = s.run({1000, 1001}, c, true);
  EXPECT_EQ(p.slots, (std::vector<long>{-1, 501, -1}));
}

TEST(Schedule, UpstreamIndexOutsideTheScheduleThrows) {
  for (int bad : {-1, 3, 1 << 30}) {
    ResultCache c;
    Schedule s;
    s.build({{}, {0}, {bad}}, {});
    EXPECT_THROW(s.run(keys_for(3), c, false), std::out_of_range) << bad;
  }
}

// The README's frame request, end to end: a host with one float knob per node renders every
// node on the first frame and serves the target from the cache on the second; after a knob of
// node 1 changes, nodes 1 and 2 get new keys and re-render, and textures nobody used leave at
// the evict that follows, least recently used first.
class HostFrames : public ::testing::Test {
 protected:
  const std::vector<std::vector<int>> ups{{}, {0}, {0, 1}};
  std::vector<float> knobs{0.5f, 2.0f, 1.0f};
  const Record::Field field{1, 0};
  const std::uint8_t kind = 1;
  Walk walk;
  ResultCache cache;
  Schedule schedule;
  long next_texture = 1;
  std::vector<int> rendered;
  std::vector<long> freed;

  void SetUp() override {
    walk.build(ups, {0, 0, 0}, {0, 0, 0});
    schedule.build(ups, {0, 0, 0});
  }
  void edit(std::vector<int> dirty) {
    walk.walk(dirty, false, [&](int i, bool) -> std::optional<long> {
      Record params{
          {&field, 1},
          {reinterpret_cast<const std::uint32_t*>(&knobs[static_cast<std::size_t>(i)]), 1},
          {&kind, 1}};
      std::uint64_t key = params.typed_hash();
      for (int u : ups[static_cast<std::size_t>(i)])
        key = key * 31 + static_cast<std::uint64_t>(walk.keys[static_cast<std::size_t>(u)]);
      return static_cast<long>(key);
    });
  }
  RunPlan frame() {
    cache.touching = true;
    RunPlan plan = schedule.run(walk.keys, cache, true);
    for (int i : plan.order) {
      if (!plan.run[static_cast<std::size_t>(i)]) continue;
      rendered.push_back(i);
      const long tex = next_texture++;
      std::pair<long, long> memory{tex, 1 << 20};
      cache.put(walk.keys[static_cast<std::size_t>(i)], tex, &memory, 1, false, 0.0, true);
    }
    cache.end_touch({});
    for (const CachePopped& gone : cache.evict(1 << 20, 8 << 20)) freed.push_back(gone.slot);
    return plan;
  }
};

TEST_F(HostFrames, RendersWhatChangedOrWasEvicted) {
  edit({0, 1, 2});
  frame();
  EXPECT_EQ(rendered, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(freed.empty());

  rendered.clear();
  RunPlan again = frame();
  EXPECT_EQ(again.order, (Order{2}));
  EXPECT_EQ(again.slots[2], 3);
  EXPECT_TRUE(rendered.empty());
  // Nodes 0 and 1 went unused and became evictable; 1 MiB of them may stay: node 1's texture,
  // the more recently used one.
  EXPECT_EQ(freed, (std::vector<long>{1}));

  knobs[1] = 3.0f;
  edit({1});
  EXPECT_EQ(walk.changed_list, (std::vector<std::int32_t>{1, 2}));
  rendered.clear();
  freed.clear();
  RunPlan changed = frame();
  EXPECT_EQ(changed.order, (Order{0, 1, 2}));
  EXPECT_EQ(changed.run, (std::vector<std::uint8_t>{1, 1, 1}));
  EXPECT_EQ(rendered, (std::vector<int>{0, 1, 2}));  // node 0 because it was evicted
  EXPECT_EQ(freed, (std::vector<long>{2}));  // node 1's old texture; node 2's old one may stay
}

}  // namespace
