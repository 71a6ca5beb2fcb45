#include "quarn/gpu/program_registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "quarn/gpu/draw.h"
#include "support/gl_calls.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;

namespace {

TEST(Declarations, TakeTheirOneSizeAndAreReplacedInPlaceUntilForgotten) {
  using gpu::UNIFORM_FLOAT, gpu::UNIFORM_VECTOR;
  const std::pair<gpu::UniformInfo, int> sizes[] = {
      // declaration, the one size it takes
      {{0, UNIFORM_FLOAT, 3}, 3},        {{0, UNIFORM_VECTOR, 1}, 1},
      {{0, gpu::UNIFORM_MAT3, 1}, 9},    {{0, gpu::UNIFORM_MAT4, 1}, 16},
      {{0, gpu::UNIFORM_OTHER, 1}, -99}, {{0, 2, 2}, -99},
      {{0, UNIFORM_FLOAT, 0}, -99},      {{0, UNIFORM_VECTOR, -3}, -99},
      {{0, UNIFORM_VECTOR, 16}, -99}};
  for (auto [info, size] : sizes)
    for (int n = -4; n <= 17; ++n)
      EXPECT_EQ(gpu::uniform_accepts(info, n), n == size)
          << "kind " << info.kind << " components " << info.components << " n " << n;

  const std::uint32_t program = 800001;
  gpu::program_add(program, "gain", {4, UNIFORM_FLOAT, 1});
  const gpu::UniformInfo* gain = gpu::uniform_info(program, std::string_view("gain_x", 4));
  gpu::program_add(program, "gain", {5, UNIFORM_VECTOR, 2});
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gpu::uniform_info(program, "gain"), gain);
  EXPECT_EQ(std::tuple(gain->location, gain->kind, gain->components),
            std::tuple(5, UNIFORM_VECTOR, 2));
  EXPECT_EQ(gpu::uniform_info(program, "gai"), nullptr);
  gpu::program_forget(program);
  EXPECT_EQ(gpu::uniform_info(program, "gain"), nullptr);
}

// What reaches GL and what is counted, against a model of one program's record: the cached bits
// per location, the batch memo (a list, or a block key) and whether an upload or a forget came
// after it. Draws apply their list with no memo. Lists come from a pool with near-twins:
// differing only beyond `count`, only in the last record, or only in length. Unsound input (a
// value count outside the sixteen-float slot, a null list, a negative length, a bad record
// inside a list) must do nothing at all.
struct Model {
  struct Record {
    std::map<int, std::vector<float>> cache;
    std::uint64_t generation = 1, batch_generation = 0, key = 0;
    std::vector<gpu::Pending> list;
  };
  std::optional<Record> record;
  gpu::DrawStats stats = gpu::stats();
  std::size_t calls = 0;

  void upload(int location, const float* v, int n) {
    if (n < 0 || n > 16) return;
    if (location >= 0 && !record) record.emplace();
    std::vector<float>* slot =
        location >= 0 && location <= gpu::MAX_CACHED_LOCATION ? &record->cache[location] : nullptr;
    if (slot && slot->size() == std::size_t(n) &&
        (n == 0 || std::memcmp(slot->data(), v, sizeof(float) * n) == 0)) {
      ++stats.uniform_skips;
      return;
    }
    ++stats.uniform_uploads;
    calls += n > 0 && (n <= 4 || n == 9 || n == 16);  // other sizes are stored, never sent
    if (record) ++record->generation;
    if (slot) slot->assign(v, v + n);
  }
  void batch(const std::vector<gpu::Pending>& l, std::uint64_t block_key, bool block) {
    Record& r = record ? *record : record.emplace();
    if (r.generation == r.batch_generation &&
        (block ? block_key != 0 && block_key == r.key
               : r.list.size() == l.size() &&
                     (l.empty() || std::memcmp(r.list.data(), l.data(),
                                               l.size() * sizeof(gpu::Pending)) == 0))) {
      stats.uniform_skips += l.size();
      return;
    }
    for (const gpu::Pending& p : l) upload(p.location, p.values, p.count);
    r.list = block ? std::vector<gpu::Pending>{} : l;
    r.key = block ? block_key : 0;
    r.batch_generation = r.generation;
  }
};

using Registry = qn_test::GlTest;

TEST_F(Registry, UploadsSkipsAndDrawsFollowAModelOfTheRecord) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const int max = gpu::MAX_CACHED_LOCATION;
  const std::vector<std::vector<gpu::Pending>> pool = {
      {{0, 1, {1}}, {1, 3, {1, 2, 3}}, {2, 9, {1, 0, 0, 0, 1, 0, 0, 0, 1}}},
      {{0, 1, {1}}, {1, 3, {1, 2, 3}}, {2, 9, {1, 0, 0, 0, 1, 0, 0, 0, 2}}},
      {{0, 1, {1}}, {1, 3, {1, 2, 3}}},
      {{0, 1, {2}}, {-1, 2, {4, 4}}, {max + 1, 1, {nan}}},
      {{0, 1, {-0.f}}, {max, 4, {0, 1, 2, 3}}},
      {{3, 1, {1}}, {3, 17, {}}, {4, -1, {}}, {3, 1, {2}}},
      {}};
  std::vector<std::vector<gpu::Pending>> lists = pool;
  for (auto l : pool) {  // twins that differ beyond `count` only
    if (l.empty()) continue;
    l[0].values[5] = 9;
    lists.push_back(l);
  }
  const int locations[] = {-1, 0, 1, 2, 3, max, max + 1, INT_MAX};
  const int counts[] = {0, 1, 2, 3, 4, 5, 16, -1, 17, INT_MIN, INT_MAX};
  const float values[][17] = {{0}, {-0.f}, {1, 2, 3, 4}, {nan, nan, nan, nan}};
  const std::uint32_t program = 900001;  // no GL program: GL ignores what is sent to it
  const gpu::Unit unit = {0, GL_TEXTURE_2D, 0, 0};
  std::mt19937 rng(7);
  auto pick = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  Model model;
  qn_test::GlCallLog log;
  auto draw = [&](const gpu::Pending* list, int n, const gpu::Unit* units, int unit_count) {
    EXPECT_EQ(gpu::draw(0, 1, 1, program, list, n, units, unit_count, 0, GL_TRIANGLES, 0, 0),
              gpu::DRAW_DONE);
    ++model.stats.draws;
    model.calls += 8;  // and no unit is bound
  };
  for (int step = 0; step < 3000; ++step) {
    const std::size_t op = pick(22), l = pick(lists.size());
    if (op < 8) {
      const int location = locations[pick(std::size(locations))];
      const int n = counts[pick(std::size(counts))];
      const float* v = op == 7 && n > 0 ? nullptr : values[pick(std::size(values))];
      gpu::uniform_set(program, location, v, n);
      if (v) model.upload(location, v, n);
    } else if (op == 8) {  // unsound calls
      gpu::uniform_set_many(program, nullptr, 3);
      gpu::uniform_set_block(program, 7, nullptr, 3);
      gpu::uniform_set_many(program, lists[l].data(), -1);
      gpu::uniform_set_block(program, 3, lists[l].data(), INT_MIN);
      draw(nullptr, 3, &unit, -3);
      draw(lists[l].data(), -1, nullptr, 2);
    } else if (op < 12) {
      gpu::uniform_set_many(program, lists[l].data(), int(lists[l].size()));
      model.batch(lists[l], 0, false);
    } else if (op < 16) {
      const std::uint64_t key = op == 15 ? 0 : l + 1;  // equal keys, equal lists
      gpu::uniform_set_block(program, key, lists[l].data(), int(lists[l].size()));
      model.batch(lists[l], key, true);
    } else if (op < 19) {
      const int location = op == 18 ? -1 : locations[pick(std::size(locations))];
      gpu::uniform_forget(program, location);
      if (model.record) {
        ++model.record->generation;
        if (location < 0)
          model.record->cache.clear();
        else
          model.record->cache.erase(location);
      }
    } else if (op == 19) {
      gpu::program_forget(program);
      model.record.reset();
    } else if (op == 20) {  // a declaration leaves the cache and the memo alone
      gpu::program_add(program, "u", {locations[pick(std::size(locations))], 0, 1});
      if (!model.record) model.record.emplace();
    } else {
      draw(lists[l].data(), int(lists[l].size()), nullptr, 0);
      for (const gpu::Pending& p : lists[l]) model.upload(p.location, p.values, p.count);
    }
    const gpu::DrawStats& s = gpu::stats();
    ASSERT_EQ(std::tuple(s.uniform_uploads, s.uniform_skips, s.draws, log.size(),
                         gpu::program_known(program)),
              std::tuple(model.stats.uniform_uploads, model.stats.uniform_skips, model.stats.draws,
                         model.calls, model.record.has_value()))
        << "step " << step << " op " << op;
  }
}

}  // namespace
