#include "quarn/graph/flat_map.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using qn::graph::FlatMap;
using qn::graph::internal::fmix64;

std::size_t home(long key, std::size_t capacity) {
  return static_cast<std::size_t>(fmix64(static_cast<std::uint64_t>(key))) & (capacity - 1);
}

// The first `count` keys (scanning upwards from `from`) whose home in a table of `capacity`
// slots is `slot`: they all pile up in one probe run starting there.
std::vector<long> keys_with_home(std::size_t slot, std::size_t capacity, int count, long from = 0) {
  std::vector<long> out;
  for (long k = from; static_cast<int>(out.size()) < count; ++k)
    if (home(k, capacity) == slot) out.push_back(k);
  return out;
}

TEST(FlatMap, GrowsBeforeAnyInsertAtThreeQuartersEvenOfAPresentKey) {
  FlatMap<int> m;
  EXPECT_EQ(m.find(1), nullptr);  // an empty table is never probed
  EXPECT_FALSE(m.erase(1));
  m.insert(0);
  EXPECT_EQ(m.capacity(), 64u);
  for (long k = 0; k < 48; ++k) *m.insert(k).first = static_cast<int>(k) + 100;
  EXPECT_EQ(m.capacity(), 64u);
  auto [v, added] = m.insert(7);
  EXPECT_FALSE(added);
  EXPECT_EQ(*v, 107);
  EXPECT_EQ(m.capacity(), 128u);
  for (long k = 0; k < 48; ++k) ASSERT_EQ(*m.find(k), k + 100) << k;
}

TEST(FlatMap, ZeroAndNegativeKeysAreOrdinary) {
  FlatMap<int> m;
  for (long k : {0L, -1L, LONG_MIN, LONG_MAX}) *m.insert(k).first = 5;
  auto [v, added] = m.insert(-1);
  EXPECT_FALSE(added);
  EXPECT_EQ(*v, 5);
  EXPECT_EQ(m.size(), 4u);
  EXPECT_TRUE(m.erase(0));
  EXPECT_EQ(m.find(0), nullptr);
  EXPECT_EQ(*m.find(LONG_MIN), 5);
  EXPECT_EQ(*m.find(-1), 5);
}

TEST(FlatMap, EraseInARunThatWrapsPastTheEnd) {
  // Keys homed at 62 and 63 fill 62, 63, 0, 1, 2; keys homed at 0 and 1 queue behind them.
  // Erasing each one in turn covers holes before, at and after the wrap.
  std::vector<long> keys = keys_with_home(62, 64, 3);
  for (long k : keys_with_home(63, 64, 2)) keys.push_back(k);
  for (long k : keys_with_home(0, 64, 2)) keys.push_back(k);
  for (long k : keys_with_home(1, 64, 1)) keys.push_back(k);
  for (std::size_t victim = 0; victim < keys.size(); ++victim) {
    FlatMap<int> m;
    for (long k : keys) *m.insert(k).first = static_cast<int>(k & 0xFFFF);
    m.erase(keys[victim]);
    EXPECT_EQ(m.size(), keys.size() - 1);
    for (long k : keys)
      if (k != keys[victim]) {
        const int* v = m.find(k);
        ASSERT_NE(v, nullptr) << "lost " << k << " after erasing #" << victim;
        EXPECT_EQ(*v, static_cast<int>(k & 0xFFFF));
      }
  }
}

TEST(FlatMap, ClearForgetsKeysAndKeepsCapacity) {
  FlatMap<int> m;
  for (long k = 0; k < 100; ++k) m.insert(k);
  const std::size_t cap = m.capacity();
  m.clear();
  EXPECT_EQ(m.capacity(), cap);
  EXPECT_TRUE(m.empty());
  for (long k = 0; k < 100; ++k) ASSERT_EQ(m.find(k), nullptr);
  EXPECT_TRUE(m.insert(5).second);
  EXPECT_EQ(*m.find(5), 0);
}

// Mixed insert / find / erase against std::unordered_map. Half the keys have hashes whose low
// 8 bits are all ones, so in tables of up to 256 slots they all start at the last slot and
// their runs wrap to the front; the rest are spread.
class FlatMapModel : public ::testing::Test {
 protected:
  static std::vector<long> pool(int wrapping, int spread, std::mt19937_64& rng) {
    std::vector<long> keys;
    for (long k = -5'000'000; static_cast<int>(keys.size()) < wrapping; ++k)
      if ((fmix64(static_cast<std::uint64_t>(k)) & 0xFF) == 0xFF) keys.push_back(k);
    for (int i = 0; i < spread; ++i) keys.push_back(static_cast<long>(rng()));
    return keys;
  }

  static void run(int ops, const std::vector<long>& keys, std::mt19937_64& rng) {
    FlatMap<int> m;
    std::unordered_map<long, int> ref;
    std::uniform_int_distribution<std::size_t> pick(0, keys.size() - 1);
    std::uniform_int_distribution<int> what(0, 9);
    std::size_t max_capacity = 0;
    for (int step = 0; step < ops; ++step) {
      const long k = keys[pick(rng)];
      const int op = what(rng);
      if (op < 4) {
        auto [v, added] = m.insert(k);
        auto [it, ref_added] = ref.try_emplace(k, 0);
        ASSERT_EQ(added, ref_added) << "step " << step;
        ASSERT_EQ(*v, it->second);
        *v = it->second = step;
      } else if (op < 7) {
        ASSERT_EQ(m.erase(k), ref.erase(k) == 1) << "step " << step;
      } else {
        const int* v = m.find(k);
        auto it = ref.find(k);
        ASSERT_EQ(v != nullptr, it != ref.end()) << "step " << step;
        if (v) {
          ASSERT_EQ(*v, it->second);
        }
      }
      ASSERT_EQ(m.size(), ref.size());
      ASSERT_LE(4 * m.size(), 3 * m.capacity());
      ASSERT_GE(m.capacity(), max_capacity);  // never shrinks
      max_capacity = m.capacity();
    }
    std::size_t seen = 0;
    m.for_each([&](long key, int value) {
      ++seen;
      auto it = ref.find(key);
      ASSERT_NE(it, ref.end());
      EXPECT_EQ(value, it->second);
    });
    EXPECT_EQ(seen, ref.size());
  }
};

TEST_F(FlatMapModel, SmallTablesWithWrappingRuns) {
  std::mt19937_64 rng(20240611);
  run(300'000, pool(120, 40, rng), rng);
}

TEST_F(FlatMapModel, GrowingTableWithManyKeys) {
  std::mt19937_64 rng(7);
  run(200'000, pool(200, 30'000, rng), rng);
}

}  // namespace
