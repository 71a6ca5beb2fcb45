#include "quarn/gpu/program_registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "quarn/gpu/draw.h"
#include "support/gl_calls.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;
using qn_test::GlCallLog;
using ::testing::ElementsAre;

namespace {

// Programs of these tests are plain numbers: the registry never asks GL about them, and GL
// ignores uniform calls on a name that is no program (it records an error nobody queries).
// Each test takes fresh numbers so that no memo carries over.
std::uint32_t fresh_program() {
  static std::uint32_t next = 900000;
  return ++next;
}

gpu::Pending pending(int location, std::initializer_list<float> values) {
  gpu::Pending p{location, static_cast<std::int32_t>(values.size()), {}};
  int i = 0;
  for (float v : values) p.values[i++] = v;
  return p;
}

struct Counters {
  std::uint64_t uploads, skips;
  static Counters now() { return {gpu::stats().uniform_uploads, gpu::stats().uniform_skips}; }
  Counters since(Counters before) const { return {uploads - before.uploads, skips - before.skips}; }
};

class Registry : public qn_test::GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    log_.emplace();  // after the fixture's load, which rewrites the pointers
    start_ = Counters::now();
  }
  GlCallLog& calls() { return *log_; }
  Counters delta() const { return Counters::now().since(start_); }

  std::uint32_t program = fresh_program();

 private:
  std::optional<GlCallLog> log_;
  Counters start_{};
};

}  // namespace

TEST_F(Registry, SameValueTwiceUploadsOnce) {
  const float v[2] = {1.5f, -2.f};
  gpu::uniform_set(program, 3, v, 2);
  gpu::uniform_set(program, 3, v, 2);
  EXPECT_THAT(calls().calls(), ElementsAre("ProgramUniform2fv"));
  EXPECT_EQ(delta().uploads, 1u);
  EXPECT_EQ(delta().skips, 1u);
  EXPECT_TRUE(gpu::program_known(program));
}

TEST_F(Registry, ComparisonIsBitwise) {
  const float zero = 0.f, negative_zero = -0.f;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  gpu::uniform_set(program, 0, &zero, 1);
  gpu::uniform_set(program, 0, &negative_zero, 1);  // equal as floats, not as bits
  gpu::uniform_set(program, 1, &nan, 1);
  gpu::uniform_set(program, 1, &nan, 1);  // the same NaN bits
  EXPECT_EQ(calls().uniform_calls(), 3u);
  EXPECT_EQ(delta().skips, 1u);
}

TEST_F(Registry, EachSizeHasItsCallAndOthersOnlyCount) {
  const float v[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  struct Case {
    int n;
    const char* call;  // null: no GL call
  } cases[] = {{1, "ProgramUniform1fv"},
               {2, "ProgramUniform2fv"},
               {3, "ProgramUniform3fv"},
               {4, "ProgramUniform4fv"},
               {9, "ProgramUniformMatrix3fv"},
               {16, "ProgramUniformMatrix4fv"},
               {5, nullptr},
               {15, nullptr}};
  int location = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    calls().clear();
    Counters before = Counters::now();
    gpu::uniform_set(program, location, v, c.n);
    if (c.call)
      EXPECT_THAT(calls().calls(), ElementsAre(c.call));
    else
      EXPECT_TRUE(calls().calls().empty());
    EXPECT_EQ(Counters::now().since(before).uploads, 1u);
    gpu::uniform_set(program, location++, v, c.n);  // remembered either way
    EXPECT_EQ(Counters::now().since(before).skips, 1u);
  }
}

TEST_F(Registry, UnsoundInputDoesNothing) {
  float v[17] = {};
  gpu::Pending list[] = {pending(2, {1.f})};
  for (int n : {-1, 17, INT_MIN, INT_MAX}) {  // value counts outside the sixteen-float slot
    SCOPED_TRACE(n);
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
  EXPECT_TRUE(calls().calls().empty());
  EXPECT_EQ(delta().uploads, 0u);
  EXPECT_EQ(delta().skips, 0u);
  EXPECT_TRUE(gpu::program_known(program));  // a batch call, even one applying nothing
}

TEST_F(Registry, NegativeLocationReachesGlButIsNeverCached) {
  const float v = 1.f;
  gpu::uniform_set(program, -1, &v, 1);
  EXPECT_FALSE(gpu::program_known(program));  // creates no record
  gpu::uniform_set(program, -1, &v, 1);
  EXPECT_EQ(calls().uniform_calls(), 2u);
  EXPECT_EQ(delta().uploads, 2u);

  // On an existing record it raises the generation, which defeats the batch shortcut.
  gpu::Pending list[] = {pending(0, {2.f})};
  gpu::uniform_set_many(program, list, 1);
  gpu::uniform_set(program, -1, &v, 1);
  Counters before = Counters::now();
  gpu::uniform_set_many(program, list, 1);
  EXPECT_EQ(Counters::now().since(before).skips, 1u);  // skipped by the slot, not the memo
}

TEST_F(Registry, LocationsBeyondTheCachedRangeAreUploadedEveryTime) {
  const float v = 3.f;
  gpu::uniform_set(program, gpu::MAX_CACHED_LOCATION, &v, 1);
  gpu::uniform_set(program, gpu::MAX_CACHED_LOCATION, &v, 1);
  EXPECT_EQ(calls().uniform_calls(), 1u);  // the last cached location
  for (int location : {gpu::MAX_CACHED_LOCATION + 1, INT_MAX}) {
    calls().clear();
    gpu::uniform_set(program, location, &v, 1);
    gpu::uniform_set(program, location, &v, 1);
    EXPECT_EQ(calls().uniform_calls(), 2u) << location;
  }
  gpu::uniform_forget(program, INT_MAX);  // outside the cache: only the generation moves
}

TEST_F(Registry, ForgetMakesTheNextUploadReachGl) {
  const float a = 1.f, b = 2.f;
  gpu::uniform_set(program, 40, &a, 1);
  gpu::uniform_set(program, 39, &b, 1);  // below 40: grown but unknown until now
  gpu::uniform_forget(program, 40);
  gpu::uniform_set(program, 40, &a, 1);
  gpu::uniform_set(program, 39, &b, 1);  // still known
  EXPECT_EQ(calls().uniform_calls(), 3u);
  gpu::uniform_forget(program, -1);
  gpu::uniform_set(program, 40, &a, 1);
  gpu::uniform_set(program, 39, &b, 1);
  EXPECT_EQ(calls().uniform_calls(), 5u);
  gpu::uniform_forget(fresh_program(), -1);  // unknown program: nothing
}

TEST_F(Registry, AcceptsOnlyTheDeclaredSize) {
  struct Case {
    gpu::UniformInfo info;
    std::vector<int> accepted;
  } cases[] = {
      {{0, 0, 3}, {3}},  {{0, 1, 1}, {1}}, {{0, 1, 4}, {4}}, {{0, 5, 1}, {9}},
      {{0, 6, 1}, {16}}, {{0, 7, 1}, {}},  {{0, 2, 2}, {}},  {{0, -1, 1}, {}},
      {{0, 0, 0}, {}},   {{0, 1, -3}, {}}, {{0, 0, 9}, {}},  {{0, 1, 16}, {}},
  };
  for (const Case& c : cases) {
    for (int n = -4; n <= 17; ++n) {
      bool expected = std::find(c.accepted.begin(), c.accepted.end(), n) != c.accepted.end();
      EXPECT_EQ(gpu::uniform_accepts(c.info, n), expected)
          << "kind " << c.info.kind << " components " << c.info.components << " n " << n;
    }
  }
  EXPECT_EQ(gpu::uniform_accepts(gpu::UniformInfo{}, 1), false);  // default kind 7
}

TEST_F(Registry, DeclarationsAreStoredReplacedAndForgotten) {
  EXPECT_EQ(gpu::uniform_info(program, "gain"), nullptr);
  gpu::program_add(program, "gain", {4, 0, 1});
  gpu::program_add(program, "matrix", {5, 6, 1});
  const gpu::UniformInfo* gain = gpu::uniform_info(program, std::string_view("gain_x", 4));
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->location, 4);
  EXPECT_EQ(gpu::uniform_info(program, "gai"), nullptr);

  const float v = 0.5f;
  gpu::uniform_set(program, 4, &v, 1);
  gpu::program_add(program, "gain", {4, 1, 2});  // in place; cached values stay
  EXPECT_EQ(gpu::uniform_info(program, "gain"), gain);
  EXPECT_EQ(gain->kind, 1);
  EXPECT_EQ(gain->components, 2);
  gpu::uniform_set(program, 4, &v, 1);
  EXPECT_EQ(calls().uniform_calls(), 1u);

  gpu::program_forget(program);
  EXPECT_FALSE(gpu::program_known(program));
  EXPECT_EQ(gpu::uniform_info(program, "matrix"), nullptr);
  gpu::uniform_set(program, 4, &v, 1);  // the cache went with the record
  EXPECT_EQ(calls().uniform_calls(), 2u);
  gpu::program_forget(fresh_program());
}

TEST_F(Registry, UnchangedListTakesTheContentShortcut) {
  gpu::Pending list[] = {pending(0, {1.f}), pending(1, {1.f, 2.f, 3.f}),
                         pending(2, {1, 0, 0, 0, 1, 0, 0, 0, 1})};
  gpu::uniform_set_many(program, list, 3);
  EXPECT_EQ(calls().uniform_calls(), 3u);
  calls().clear();
  Counters before = Counters::now();
  gpu::uniform_set_many(program, list, 3);
  EXPECT_TRUE(calls().calls().empty());
  EXPECT_EQ(Counters::now().since(before).skips, 3u);

  // The tail beyond `count` is part of the record.
  list[0].values[5] = 9.f;
  gpu::uniform_set_many(program, list, 3);  // no shortcut, but every slot still matches
  EXPECT_TRUE(calls().calls().empty());

  gpu::uniform_forget(program, -1);
  gpu::uniform_set_many(program, list, 3);
  EXPECT_EQ(calls().uniform_calls(), 3u);
}

TEST_F(Registry, MatchingSlotsAfterAnotherUploadRefreshTheMemo) {
  gpu::Pending list[] = {pending(0, {1.f}), pending(1, {2.f})};
  gpu::uniform_set_many(program, list, 2);
  const float other = 5.f;
  gpu::uniform_set(program, 7, &other, 1);  // raises the generation
  calls().clear();
  Counters before = Counters::now();
  gpu::uniform_set_many(program, list, 2);  // slot by slot: all skipped, memo refreshed
  gpu::uniform_set_many(program, list, 2);  // the shortcut
  EXPECT_TRUE(calls().calls().empty());
  EXPECT_EQ(Counters::now().since(before).skips, 4u);
}

TEST_F(Registry, KeyShortcutTrustsTheKey) {
  gpu::Pending first[] = {pending(0, {1.f})};
  gpu::Pending second[] = {pending(0, {2.f})};
  gpu::uniform_set_block(program, 42, first, 1);
  calls().clear();
  Counters before = Counters::now();
  gpu::uniform_set_block(program, 42, second, 1);  // same key: the list is not looked at
  EXPECT_TRUE(calls().calls().empty());
  EXPECT_EQ(Counters::now().since(before).skips, 1u);

  gpu::uniform_set_block(program, 0, second, 1);  // key 0 never takes it
  gpu::uniform_set_block(program, 0, first, 1);
  EXPECT_EQ(calls().uniform_calls(), 2u);
}

TEST_F(Registry, BatchCallsShareOneMemo) {
  gpu::Pending a[] = {pending(0, {1.f})};
  gpu::Pending b[] = {pending(0, {2.f})};
  gpu::uniform_set_block(program, 5, a, 1);
  gpu::uniform_set_many(program, b, 1);  // uploads b and resets the key
  gpu::uniform_set_block(program, 5, a, 1);
  EXPECT_EQ(calls().uniform_calls(), 3u);
  gpu::uniform_set_many(program, b, 1);  // the block emptied the list: uploads again
  EXPECT_EQ(calls().uniform_calls(), 4u);
}
