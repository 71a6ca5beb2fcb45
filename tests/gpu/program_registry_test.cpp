#include "quarn/gpu/program_registry.h"

#include <gmock/gmock.h>

#include <climits>
#include <limits>
#include <optional>

#include "quarn/gpu/draw.h"
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
  std::size_t gl_calls() const { return log->uniform_calls(); }
  std::uint64_t uploads() const { return gpu::stats().uniform_uploads - start.uniform_uploads; }
  std::uint64_t skips() const { return gpu::stats().uniform_skips - start.uniform_skips; }

  inline static std::uint32_t last_program = 900000;
  const std::uint32_t program = ++last_program;
  std::optional<qn_test::GlCallLog> log;
  const gpu::DrawStats start = gpu::stats();
};

}  // namespace

TEST_F(Registry, UploadsOnlyWhatChangedBitForBit) {
  const float zero = 0.f, negative_zero = -0.f, nan = std::numeric_limits<float>::quiet_NaN();
  gpu::uniform_set(program, -1, &zero, 1);  // inactive: passed to GL, never cached
  gpu::uniform_set(program, -1, &zero, 1);
  EXPECT_FALSE(gpu::program_known(program));
  const float pair[2] = {1.5f, -2};
  gpu::uniform_set(program, 3, pair, 2);
  gpu::uniform_set(program, 3, pair, 2);
  gpu::uniform_set(program, 0, &zero, 1);
  gpu::uniform_set(program, 0, &negative_zero, 1);  // equal as floats, not as bits
  gpu::uniform_set(program, 1, &nan, 1);
  gpu::uniform_set(program, 1, &nan, 1);
  EXPECT_THAT(log->calls,
              testing::ElementsAre("ProgramUniform1fv", "ProgramUniform1fv", "ProgramUniform2fv",
                                   "ProgramUniform1fv", "ProgramUniform1fv", "ProgramUniform1fv"));
  EXPECT_EQ(uploads(), 6u);
  EXPECT_EQ(skips(), 2u);
  EXPECT_TRUE(gpu::program_known(program));
}

TEST_F(Registry, UnsoundInputDoesNothing) {
  float v[17] = {};
  gpu::Pending list[] = {pending(2, {1})};
  for (int n : {-1, 17, INT_MIN, INT_MAX}) {  // value counts outside the sixteen-float slot
    gpu::uniform_set(program, 2, v, n);
    gpu::uniform_set(program, -1, v, n);
  }
  gpu::uniform_set(program, 0, nullptr, 4);
  gpu::uniform_set_many(program, nullptr, 3);
  gpu::uniform_set_block(program, 7, nullptr, 3);
  gpu::uniform_set_many(program, list, -1);
  gpu::uniform_set_block(program, 3, list, INT_MIN);
  EXPECT_FALSE(gpu::program_known(program));
  list[0].count = 17;  // a bad record inside a batch is passed over
  gpu::uniform_set_many(program, list, 1);
  EXPECT_TRUE(log->calls.empty());
  EXPECT_EQ(uploads() + skips(), 0u);
}

TEST_F(Registry, LocationsBeyondTheCachedRangeAreUploadedEveryTime) {
  const float v = 3;
  for (int location : {gpu::MAX_CACHED_LOCATION, gpu::MAX_CACHED_LOCATION + 1, INT_MAX}) {
    gpu::uniform_set(program, location, &v, 1);
    gpu::uniform_set(program, location, &v, 1);
  }
  EXPECT_EQ(gl_calls(), 1u + 2u + 2u);
  gpu::uniform_forget(program, INT_MAX);  // outside the cache: nothing to forget
}

TEST_F(Registry, ForgottenValuesReachGlAgain) {
  const float a = 1, b = 2;
  gpu::uniform_set(program, 40, &a, 1);
  gpu::uniform_set(program, 39, &b, 1);  // below 40: grown but unknown until now
  gpu::uniform_forget(program, 40);
  gpu::uniform_set(program, 40, &a, 1);
  gpu::uniform_set(program, 39, &b, 1);
  EXPECT_EQ(gl_calls(), 3u);
  gpu::uniform_forget(program, -1);
  gpu::uniform_set(program, 40, &a, 1);
  gpu::uniform_set(program, 39, &b, 1);
  EXPECT_EQ(gl_calls(), 5u);
  gpu::uniform_forget(program + 1, -1);  // unknown program: nothing
  EXPECT_FALSE(gpu::program_known(program + 1));
}

TEST_F(Registry, AcceptsOnlyTheDeclaredSize) {
  const std::pair<gpu::UniformInfo, int> cases[] = {
      // declaration, the one size it takes
      {{0, 0, 3}, 3},   {{0, 1, 1}, 1},   {{0, 5, 1}, 9},    {{0, 6, 1}, 16},  {{0, 7, 1}, -99},
      {{0, 2, 2}, -99}, {{0, 0, 0}, -99}, {{0, 1, -3}, -99}, {{0, 1, 16}, -99}};
  for (auto [info, size] : cases)
    for (int n = -4; n <= 17; ++n)
      EXPECT_EQ(gpu::uniform_accepts(info, n), n == size)
          << "kind " << info.kind << " components " << info.components << " n " << n;
}

TEST_F(Registry, DeclarationsAreStoredReplacedInPlaceAndForgotten) {
  gpu::program_add(program, "gain", {4, 0, 1});
  const gpu::UniformInfo* gain = gpu::uniform_info(program, std::string_view("gain_x", 4));
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->location, 4);
  EXPECT_EQ(gpu::uniform_info(program, "gai"), nullptr);
  const float v = 0.5f;
  gpu::uniform_set(program, 4, &v, 1);
  gpu::program_add(program, "gain", {4, 1, 2});  // cached values stay
  EXPECT_EQ(gpu::uniform_info(program, "gain"), gain);
  EXPECT_EQ(gain->components, 2);
  gpu::uniform_set(program, 4, &v, 1);
  EXPECT_EQ(gl_calls(), 1u);
  gpu::program_forget(program);
  EXPECT_FALSE(gpu::program_known(program));
  EXPECT_EQ(gpu::uniform_info(program, "gain"), nullptr);
  gpu::uniform_set(program, 4, &v, 1);  // the cache went with the record
  EXPECT_EQ(gl_calls(), 2u);
}

TEST_F(Registry, UnchangedListTakesTheContentShortcut) {
  gpu::Pending list[] = {pending(0, {1}), pending(1, {1, 2, 3}),
                         pending(2, {1, 0, 0, 0, 1, 0, 0, 0, 1})};
  gpu::uniform_set_many(program, list, 3);
  EXPECT_EQ(gl_calls(), 3u);
  gpu::uniform_set_many(program, list, 3);
  EXPECT_EQ(skips(), 3u);
  list[0].values[5] = 9;                    // beyond `count`, but part of the record:
  gpu::uniform_set_many(program, list, 3);  // no shortcut; every slot still matches
  const float other = 5;
  gpu::uniform_set(program, 7, &other, 1);  // an upload defeats the shortcut once more
  gpu::uniform_set_many(program, list, 3);  // slot by slot, refreshing the memo
  gpu::uniform_set_many(program, list, 3);  // the shortcut
  EXPECT_EQ(gl_calls(), 4u);
  EXPECT_EQ(skips(), 12u);
  gpu::uniform_forget(program, -1);
  gpu::uniform_set_many(program, list, 3);
  EXPECT_EQ(gl_calls(), 7u);
}

TEST_F(Registry, KeyShortcutTrustsTheKeyAndSharesTheMemo) {
  gpu::Pending a[] = {pending(0, {1})}, b[] = {pending(0, {2})};
  gpu::uniform_set_block(program, 42, a, 1);
  gpu::uniform_set_block(program, 42, b, 1);  // same key: the list is not looked at
  EXPECT_EQ(gl_calls(), 1u);
  EXPECT_EQ(skips(), 1u);
  gpu::uniform_set_block(program, 0, b, 1);  // key 0 never takes it
  gpu::uniform_set_block(program, 0, a, 1);
  EXPECT_EQ(gl_calls(), 3u);
  gpu::uniform_set_block(program, 5, a, 1);  // a: skipped by its slot
  gpu::uniform_set_many(program, b, 1);      // uploads b and resets the key
  gpu::uniform_set_block(program, 5, a, 1);
  gpu::uniform_set_many(program, b, 1);  // the block emptied the list: uploads again
  EXPECT_EQ(gl_calls(), 6u);
}
