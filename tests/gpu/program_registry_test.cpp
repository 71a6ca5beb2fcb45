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

#include "quarn/gpu/counters.h"
#include "support/gl_calls.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;
using qn_test::pending;

namespace {

// Programs here are plain numbers, fresh in each test so that no memo carries over: the
// registry never asks GL about them, and GL ignores uniform calls on a name that is no program.
class Registry : public qn_test::GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    log.emplace();  // after the fixture's load, which rewrites the pointers
  }
  std::tuple<std::uint64_t, std::uint64_t, std::size_t> counted() const {
    return {gpu::stats().uniform_uploads - start.uniform_uploads,
            gpu::stats().uniform_skips - start.uniform_skips, log->uniform_calls()};
  }

  inline static std::uint32_t last_program = 900000;
  const std::uint32_t program = ++last_program;
  std::optional<qn_test::GlCallLog> log;
  const gpu::DrawStats start = gpu::stats();
};

TEST_F(Registry, DeclarationsAcceptTheirSizeAndAreReplacedInPlaceAndForgotten) {
  using gpu::UNIFORM_FLOAT, gpu::UNIFORM_VECTOR, gpu::UNIFORM_MAT3, gpu::UNIFORM_MAT4;
  const std::pair<gpu::UniformInfo, int> sizes[] = {
      // declaration, the one size it takes
      {{0, UNIFORM_FLOAT, 3}, 3},        {{0, UNIFORM_VECTOR, 1}, 1},
      {{0, UNIFORM_MAT3, 1}, 9},         {{0, UNIFORM_MAT4, 1}, 16},
      {{0, gpu::UNIFORM_OTHER, 1}, -99}, {{0, 2, 2}, -99},
      {{0, UNIFORM_FLOAT, 0}, -99},      {{0, UNIFORM_VECTOR, -3}, -99},
      {{0, UNIFORM_VECTOR, 16}, -99}};
  for (auto [info, size] : sizes)
    for (int n = -4; n <= 17; ++n)
      EXPECT_EQ(gpu::uniform_accepts(info, n), n == size)
          << "kind " << info.kind << " components " << info.components << " n " << n;

  gpu::program_add(program, "gain", {4, UNIFORM_FLOAT, 1});
  const gpu::UniformInfo* gain = gpu::uniform_info(program, std::string_view("gain_x", 4));
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->location, 4);
  EXPECT_EQ(gpu::uniform_info(program, "gai"), nullptr);
  const float v = 0.5f;
  gpu::uniform_set(program, 4, &v, 1);
  gpu::program_add(program, "gain", {4, UNIFORM_VECTOR, 2});  // cached values stay
  EXPECT_EQ(gpu::uniform_info(program, "gain"), gain);
  EXPECT_EQ(gain->components, 2);
  gpu::uniform_set(program, 4, &v, 1);
  EXPECT_EQ(log->uniform_calls(), 1u);
  gpu::program_forget(program);
  EXPECT_FALSE(gpu::program_known(program));
  EXPECT_EQ(gpu::uniform_info(program, "gain"), nullptr);
  gpu::uniform_set(program, 4, &v, 1);  // the cache went with the record
  EXPECT_EQ(log->uniform_calls(), 2u);
}

// What reaches GL and what is skipped, against a model of one program's record: the cached bits
// per location, the batch memo (a list, or a block key) and whether an upload or a forget came
// after it. Lists come from a pool with near-twins: differing only beyond `count`, only in the
// last record, or only in length. Unsound input (a value count outside the sixteen-float slot, a
// null list, a negative length, a bad record inside a list) must do nothing at all.
struct RegistryModel {
  std::map<int, std::vector<float>> cache;
  std::uint64_t generation = 1, batch_generation = 0, key = 0;
  std::vector<gpu::Pending> list;
  bool known = false;
  std::uint64_t uploads = 0, skips = 0;
  std::size_t gl = 0;

  void upload(int location, const float* v, int n) {
    if (n < 0 || n > 16) return;
    const bool cached = location >= 0 && location <= gpu::MAX_CACHED_LOCATION;
    if (cached && cache[location].size() == std::size_t(n) &&
        (n == 0 || std::memcmp(cache[location].data(), v, sizeof(float) * n) == 0)) {
      ++skips;
      return;
    }
    ++uploads;
    gl += n > 0;  // nothing to send for an empty value, but it is recorded
    if (known) ++generation;
    if (cached) cache[location].assign(v, v + n);
  }
  void batch(const std::vector<gpu::Pending>& l, std::uint64_t block_key, bool block) {
    known = true;
    const bool shortcut =
        generation == batch_generation &&
        (block ? block_key != 0 && block_key == key
               : list.size() == l.size() &&
                     (l.empty() ||
                      std::memcmp(list.data(), l.data(), l.size() * sizeof(gpu::Pending)) == 0));
    if (shortcut) {
      skips += l.size();
      return;
    }
    for (const gpu::Pending& p : l) upload(p.location, p.values, p.count);
    list = block ? std::vector<gpu::Pending>{} : l;
    key = block ? block_key : 0;
    batch_generation = generation;
  }
};

TEST_F(Registry, UploadsAndSkipsFollowAModelOfTheRecord) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::vector<gpu::Pending>> pool = {
      {pending(0, {1}), pending(1, {1, 2, 3}), pending(2, {1, 0, 0, 0, 1, 0, 0, 0, 1})},
      {pending(0, {1}), pending(1, {1, 2, 3}), pending(2, {1, 0, 0, 0, 1, 0, 0, 0, 2})},
      {pending(0, {1}), pending(1, {1, 2, 3})},
      {pending(0, {2}), pending(-1, {4, 4}), pending(gpu::MAX_CACHED_LOCATION + 1, {nan})},
      {pending(0, {-0.f}), pending(gpu::MAX_CACHED_LOCATION, {0, 1, 2, 3})},
      {pending(3, {1}), {3, 17, {}}, {4, -1, {}}, pending(3, {2})},
      {}};
  std::vector<std::vector<gpu::Pending>> lists = pool;
  for (auto l : pool) {  // twins that differ beyond `count` only
    if (l.empty()) continue;
    l[0].values[5] = 9;
    lists.push_back(l);
  }
  const int locations[] = {
      -1, 0, 1, 2, 3, gpu::MAX_CACHED_LOCATION, gpu::MAX_CACHED_LOCATION + 1, INT_MAX};
  const int counts[] = {0, 1, 2, 3, 4, 16, -1, 17, INT_MIN, INT_MAX};
  const float values[][17] = {{0}, {-0.f}, {1, 2, 3, 4}, {nan, nan, nan, nan}};
  std::mt19937 rng(7);
  auto pick = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  RegistryModel model;
  for (int step = 0; step < 3000; ++step) {
    const std::size_t op = pick(20), l = pick(lists.size());
    if (op < 8) {
      const int location = locations[pick(std::size(locations))];
      const int n = counts[pick(std::size(counts))];
      const float* v = op == 7 && n > 0 ? nullptr : values[pick(std::size(values))];
      gpu::uniform_set(program, location, v, n);
      if (v && location >= 0 && n >= 0 && n <= 16) model.known = true;
      if (v) model.upload(location, v, n);
    } else if (op == 8) {  // unsound batch calls
      gpu::uniform_set_many(program, nullptr, 3);
      gpu::uniform_set_block(program, 7, nullptr, 3);
      gpu::uniform_set_many(program, lists[l].data(), -1);
      gpu::uniform_set_block(program, 3, lists[l].data(), INT_MIN);
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
      if (model.known) {
        ++model.generation;
        if (location < 0)
          model.cache.clear();
        else
          model.cache.erase(location);
      }
    } else {
      gpu::program_forget(program);
      model = RegistryModel{{}, 1, 0, 0, {}, false, model.uploads, model.skips, model.gl};
    }
    ASSERT_EQ(std::tuple_cat(counted(), std::tuple(gpu::program_known(program))),
              std::tuple(model.uploads, model.skips, model.gl, model.known))
        << "step " << step << " op " << op;
  }
}

}  // namespace
