#include "quarn/gpu/program_registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quarn/gpu/draw.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;

namespace {

TEST(Declarations, TakeTheirOneSize) {
  // kind, components, the one size taken (99: none)
  const int table[][3] = {
      {gpu::UNIFORM_FLOAT, 3, 3},  {gpu::UNIFORM_VECTOR, 1, 1},   {gpu::UNIFORM_MAT3, 1, 9},
      {gpu::UNIFORM_MAT4, 1, 16},  {gpu::UNIFORM_OTHER, 1, 99},   {2, 2, 99},
      {gpu::UNIFORM_FLOAT, 0, 99}, {gpu::UNIFORM_VECTOR, -3, 99}, {gpu::UNIFORM_VECTOR, 16, 99}};
  for (auto [kind, components, size] : table)
    for (int n = -4; n <= 17; ++n)
      EXPECT_EQ(gpu::uniform_accepts({0, kind, components}, n), n == size)
          << "kind " << kind << " components " << components << " n " << n;
}

// What reaches GL and what is counted, against a model of one program's record (cache and memo).
std::string bits(const void* p, std::size_t bytes) { return {static_cast<const char*>(p), bytes}; }

struct Model {
  struct Record {
    std::map<int, std::string> cache;
    std::uint64_t generation = 1, batch_generation = 0, key = 0;
    std::string list;
  };
  std::optional<Record> record;
  gpu::DrawStats stats = gpu::stats();
  std::size_t calls = 0;

  void upload(int location, const float* v, int n) {
    if (n < 0 || n > 16) return;
    if (location >= 0 && !record) record.emplace();
    std::string* slot =
        location >= 0 && location <= gpu::MAX_CACHED_LOCATION ? &record->cache[location] : nullptr;
    if (slot && *slot == bits(v, sizeof(float) * n)) {
      ++stats.uniform_skips;
      return;
    }
    ++stats.uniform_uploads;
    calls += n > 0 && (n <= 4 || n == 9 || n == 16);  // other sizes are stored, never sent
    if (record) ++record->generation;
    if (slot) *slot = bits(v, sizeof(float) * n);
  }
  void batch(const std::vector<gpu::Pending>& l, std::uint64_t key, bool block) {
    Record& r = record ? *record : record.emplace();
    const std::string list = block ? "" : bits(l.data(), sizeof(gpu::Pending) * l.size());
    if (r.generation == r.batch_generation && (block ? key != 0 && key == r.key : list == r.list)) {
      stats.uniform_skips += l.size();
      return;
    }
    for (const gpu::Pending& p : l) upload(p.location, p.values, p.count);
    r.list = list;  // empty after a block
    r.key = block ? key : 0;
    r.batch_generation = r.generation;
  }
};

using Registry = qn_test::GlTest;

TEST_F(Registry, UploadsSkipsAndDrawsFollowAModelOfTheRecord) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const int max = gpu::MAX_CACHED_LOCATION;
  const std::vector<std::vector<gpu::Pending>> lists = {
      {{0, 1, {1}}, {1, 3, {1, 2, 3}}, {2, 9, {1, 0, 0, 0, 1, 0, 0, 0, 1}}},
      {{0, 1, {1}}, {1, 3, {1, 2, 3}}, {2, 9, {1, 0, 0, 0, 1, 0, 0, 0, 2}}},
      {{0, 1, {1}}, {1, 3, {1, 2, 3}}},
      {{0, 1, {2}}, {-1, 2, {4, 4}}, {max + 1, 1, {nan}}},
      {{0, 1, {2, 0, 0, 0, 0, 9}}, {-1, 2, {4, 4}}, {max + 1, 1, {nan}}},  // differs beyond `count`
      {{0, 1, {-0.f}}, {max, 4, {0, 1, 2, 3}}},
      {{3, 1, {1}}, {3, 17, {}}, {4, -1, {}}, {3, 1, {2}}},
      {}};
  const int locations[] = {-1, 0, 1, 2, 3, max, max + 1, INT_MAX};
  const int counts[] = {0, 1, 2, 3, 4, 5, 16, -1, 17, INT_MIN, INT_MAX};
  const float values[][17] = {{0}, {-0.f}, {1, 2, 3, 4}, {nan, nan, nan, nan}};
  const std::uint32_t program = 900001;  // no GL program: GL ignores what is sent to it
  const gpu::Unit unit = {0, GL_TEXTURE_2D, 0, 0};
  std::mt19937 rng(7);
  auto pick = [&rng](std::size_t n) { return rng() % n; };
  Model model;
  qn_test::GlCallLog log;
  auto draw = [&](const gpu::Pending* list, int n, const gpu::Unit* units, int unit_count) {
    EXPECT_EQ(gpu::draw(0, 1, 1, program, list, n, units, unit_count, 0, GL_TRIANGLES, 0, 0),
              gpu::DRAW_DONE);
    ++model.stats.draws;
    model.calls += 8;  // and no unit is bound
  };
  for (int step = 0; step < 3000; ++step) {
    const std::size_t op = pick(21), l = pick(lists.size());
    if (op < 8) {
      const int location = locations[pick(std::size(locations))];
      const int n = counts[pick(std::size(counts))];
      const float* v = op == 7 && n > 0 ? nullptr : values[pick(std::size(values))];
      gpu::uniform_set(program, location, v, n);
      if (v) model.upload(location, v, n);
    } else if (op == 8) {  // unsound calls
      gpu::uniform_set_many(program, nullptr, 3);
      gpu::uniform_set_block(program, 3, lists[l].data(), INT_MIN);
      draw(nullptr, 3, &unit, -3);
      draw(lists[l].data(), -1, nullptr, 2);
    } else if (op < 12) {  // after a declaration, replaced in place: cache and memo stay
      const gpu::UniformInfo* before = gpu::uniform_info(program, "u");
      gpu::program_add(program, "u", {step, gpu::UNIFORM_FLOAT, 1});
      const gpu::UniformInfo* info = gpu::uniform_info(program, std::string_view("u_x", 1));
      ASSERT_TRUE(info && info->location == step && (!before || info == before));
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
        std::erase_if(model.record->cache,
                      [&](auto& e) { return location < 0 || e.first == location; });
      }
    } else {  // a draw; then the last op forgets the program, for the next op to find it unknown
      draw(lists[l].data(), int(lists[l].size()), nullptr, 0);
      for (const gpu::Pending& p : lists[l]) model.upload(p.location, p.values, p.count);
      if (op == 20) {
        gpu::program_forget(program);
        model.record.reset();
      }
    }
    const gpu::DrawStats &s = gpu::stats(), &m = model.stats;
    ASSERT_EQ(
        std::tuple(s.uniform_uploads, s.uniform_skips, s.draws, log.calls.size(),
                   gpu::program_known(program)),
        std::tuple(m.uniform_uploads, m.uniform_skips, m.draws, model.calls, bool(model.record)))
        << "step " << step << " op " << op;
  }
}

}  // namespace
