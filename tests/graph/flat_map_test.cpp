#include "quarn/graph/flat_map.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using qn::graph::FlatMap;

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
      if ((qn::graph::internal::fmix64(static_cast<std::uint64_t>(k)) & 0xFF) == 0xFF)
        keys.push_back(k);
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
  ASSERT_GE(m.capacity() * sizeof(FlatMap<int>::Slot), qn::graph::internal::kHugeTableBytes);
  for (long k = 0; k < n; k += 2) ASSERT_TRUE(m.erase(k * 7919 - n));
  for (long k = 0; k < n; ++k) {
    const int* v = m.find(k * 7919 - n);
    ASSERT_EQ(v ? *v : -1, k % 2 ? static_cast<int>(k) : -1) << k;
  }
  m.clear();
  EXPECT_EQ(m.find(7919 - n), nullptr);
}

}  // namespace
