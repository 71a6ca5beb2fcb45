#include "quarn/nodes/color/pack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "quarn/gpu/draw.h"
#include "support/counting_new.h"
#include "support/gl_fixture.h"

namespace color = qn::nodes::color;
namespace gpu = qn::gpu;
using color::Knob;
using color::Packed;
using color::Source;
using color::Spec;
using color::Uniform;
using qn_test::gl;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

Knob knob(const char* name, int components) {
  return {name, components, std::vector<float>(static_cast<std::size_t>(components), 0.0f)};
}
Source from_knob(int k, int c) { return {0, k, c, 0}; }
Source from_input(int i) { return {1, i, 0, 0}; }
Source constant(float v) { return {2, 0, 0, v}; }
Source gated(int gate, int passed) { return {3, gate, passed, 0}; }

Spec make(std::vector<Knob> knobs, std::vector<Uniform> uniforms) {
  Spec spec;
  spec.knobs = std::move(knobs);
  spec.uniforms = std::move(uniforms);
  return spec;
}

// Records filled with a sentinel, so that what `pack` leaves alone shows.
std::vector<Packed> untouched(std::size_t n) {
  Packed p{-5, -5, {}};
  std::fill(std::begin(p.values), std::end(p.values), -5.0f);
  return std::vector<Packed>(n, p);
}

TEST(ColorSpec, FinishNamesTheFirstFault) {
  Knob short_defaults = knob("gain", 3);
  short_defaults.defaults.pop_back();
  const std::vector<Source> sixteen(16, constant(1)), seventeen(17, constant(1));
  const std::tuple<std::vector<Knob>, std::vector<Uniform>, const char*> cases[] = {
      {{short_defaults}, {}, "knob gain: length / default mismatch"},
      {{knob("a", 1), knob("zero", 0)}, {}, "knob zero: length / default mismatch"},
      {{knob("big", 17)}, {}, "knob big: length / default mismatch"},
      {{Knob{"neg", -1, {}}}, {{"u", {}}}, "knob neg: length / default mismatch"},
      {{}, {{"u", sixteen}, {"v", seventeen}}, "uniform v: 1..16 components"},
      {{}, {{"empty", {}}}, "uniform empty: 1..16 components"},
      {{}, {{"in", {from_input(64)}}}, "uniform in: source out of range"},
      {{}, {{"in", {from_input(-1)}}}, "uniform in: source out of range"},
      {{knob("k", 2)}, {{"c", {from_knob(0, 2)}}}, "uniform c: source out of range"},
      {{knob("k", 2)}, {{"c", {from_knob(0, -1)}}}, "uniform c: source out of range"},
      {{knob("k", 2)},
       {{"ok", {from_knob(0, 1)}}, {"k1", {from_knob(1, 0)}}},
       "uniform k1: source out of range"},
      {{knob("k", 2)}, {{"g", {gated(0, 1)}}}, "uniform g: source out of range"},
      {{knob("k", 2)}, {{"g", {gated(-1, 0)}}}, "uniform g: source out of range"},
      {{knob("k", 2), knob("bad", 0)},
       {{"g", {gated(5, 5)}}},
       "knob bad: length / default mismatch"},
  };
  for (const auto& [knobs, uniforms, message] : cases) {
    Spec spec = make(knobs, uniforms);
    std::string err = "previous";
    EXPECT_FALSE(spec.finish(&err));
    EXPECT_EQ(err, message);
    EXPECT_FALSE(spec.finish(nullptr));
  }
}

TEST(ColorSpec, FinishLaysOutKnobsAndCountsInputs) {
  Spec spec =
      make({knob("a", 3), knob("b", 1), knob("c", 16)},
           {{"u", {from_input(63), from_input(2), constant(1), {9, 99, 99, 0}, gated(2, 0)}}});
  std::string err = "kept";
  ASSERT_TRUE(spec.finish(&err));
  EXPECT_EQ(err, "kept");
  EXPECT_THAT(spec.starts, ElementsAre(0, 3, 4));
  EXPECT_EQ(std::tuple(spec.knob_floats, spec.input_count), std::tuple(20, 64));
  // A second finish starts over; a spec without uniforms has no inputs.
  spec.uniforms.clear();
  ASSERT_TRUE(spec.finish(&err));
  EXPECT_EQ(std::tuple(spec.starts.size(), spec.knob_floats, spec.input_count),
            std::tuple(3u, 20, 0));
  auto out = untouched(1);
  color::pack(spec, nullptr, nullptr, out.data());
  EXPECT_EQ(out[0].index, -5);
}

TEST(ColorSpec, PackReadsEverySourceKind) {
  Spec spec =
      make({knob("gain", 3), knob("on", 1), knob("off", 1), knob("lift", 2), knob("nan", 1)},
           {{"gain", {from_knob(0, 2), from_knob(0, 0), from_knob(3, 1)}},
            {"mixed", {from_input(1), constant(-2.5f), {7, 0, 0, 9}, gated(1, 3)}},
            {"gates", {gated(2, 0), gated(4, 3), gated(1, 1)}}});
  ASSERT_TRUE(spec.finish(nullptr));
  // Exactly as long as the spec says, so that a stray read shows under the sanitizers.
  const std::vector<float> knobs = {1, 2, 3, /*on*/ 0.5f, /*off*/ -0.0f, 7, 8, /*nan*/ NaN};
  const std::vector<float> inputs = {10, 11};
  auto out = untouched(3);
  const long before = qn_test::allocations();
  color::pack(spec, knobs.data(), inputs.data(), out.data());
  EXPECT_EQ(qn_test::allocations(), before);
  EXPECT_EQ(std::tuple(out[0].index, out[0].count, out[1].index, out[1].count, out[2].count),
            std::tuple(0, 3, 1, 4, 3));
  EXPECT_THAT(out[0].values,
              ElementsAre(3, 1, 8, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5));
  EXPECT_THAT(std::vector<float>(out[1].values, out[1].values + 5),
              ElementsAre(11, -2.5f, 0, 7, -5));
  // A -0.0 gate shuts, a NaN gate passes, a gate passes the other knob's first value.
  EXPECT_THAT(std::vector<float>(out[2].values, out[2].values + 4), ElementsAre(0, 7, 0.5f, -5));
}

TEST(ColorSpec, PackLeavesMismatchingUniformsAlone) {
  Spec spec = make({knob("a", 2), knob("b", 1)}, {{"ok", {from_knob(1, 0)}},
                                                  {"k", {from_knob(0, 1)}},
                                                  {"i", {from_input(1)}},
                                                  {"g", {gated(1, 0)}},
                                                  {"bad", {from_knob(0, 0)}}});
  const std::vector<float> knobs = {1, 2, 3}, inputs = {4, 5};
  // A failed finish: the knobs were laid out, but no input was counted.
  spec.knobs.push_back(knob("broken", 0));
  ASSERT_FALSE(spec.finish(nullptr));
  auto out = untouched(5);
  color::pack(spec, knobs.data(), inputs.data(), out.data());
  EXPECT_EQ(std::tuple(out[0].values[0], out[1].values[0], out[2].index, out[3].values[0]),
            std::tuple(3, 2, -5, 1));
  // Edits after a successful finish that no longer match the derived fields.
  spec.knobs.pop_back();
  ASSERT_TRUE(spec.finish(nullptr));
  const std::tuple<void (*)(Spec&), std::vector<int>> edits[] = {
      {[](Spec& s) { s.uniforms[4].sources = std::vector<Source>(17, constant(1)); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources.clear(); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = from_knob(2, 0); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = from_knob(0, 3); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = from_knob(-1, 0); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = from_input(2); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = from_input(-3); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = gated(0, 7); }, {4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = gated(7, 0); }, {4}},
      {[](Spec& s) { s.starts[1] = std::numeric_limits<std::int32_t>::max(); }, {0, 3}},
      {[](Spec& s) { s.starts[0] = -1; }, {3, 4}},  // knob 0, component 1 still lands inside
      {[](Spec& s) { s.starts[0] = -2; }, {1, 3, 4}},
      {[](Spec& s) { s.starts.pop_back(); }, {0, 3}},
      {[](Spec& s) { s.knob_floats = 2; }, {0, 3}},
      {[](Spec& s) { s.input_count = 1; }, {2}},
  };
  for (std::size_t e = 0; e < std::size(edits); ++e) {
    Spec edited = spec;
    std::get<0>(edits[e])(edited);
    out = untouched(5);
    color::pack(edited, knobs.data(), inputs.data(), out.data());
    std::vector<int> left;
    for (int i = 0; i < 5; ++i)
      if (out[static_cast<std::size_t>(i)].index == -5) left.push_back(i);
    EXPECT_THAT(left, ElementsAreArray(std::get<1>(edits[e]))) << "edit " << e;
  }
}

// The packed records, positions mapped to locations, uploaded through the batch call and drawn.
class ColorUpload : public qn_test::GlTest {};

TEST_F(ColorUpload, PackedRecordsReachTheShaderThroughTheBatchUpload) {
  std::string log;
  const GLuint program = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                               qn_test::UNIFORM_PROBE_SHADER, &log);
  ASSERT_NE(program, 0u) << log;
  qn_test::FullScreenTriangle triangle;
  qn_test::FloatTarget target(2, 2, 6);

  Spec spec = make({knob("m", 16), knob("gain", 3), knob("on", 1)}, {});
  const auto ramp = [](int n, int from) {
    std::vector<Source> s;
    for (int i = 0; i < n; ++i) s.push_back(from_knob(0, from + i));
    return s;
  };
  spec.uniforms = {{"u1", {from_input(3)}},
                   {"u2", {constant(-1.5f), gated(2, 1)}},
                   {"u3", {from_knob(1, 2), from_knob(1, 1), from_knob(1, 0)}},
                   {"u4", ramp(4, 12)},
                   {"m3", ramp(9, 0)},
                   {"m4", ramp(16, 0)}};
  ASSERT_TRUE(spec.finish(nullptr));
  std::vector<float> knobs(20);
  for (int i = 0; i < 16; ++i) knobs[static_cast<std::size_t>(i)] = static_cast<float>(i + 1);
  knobs[16] = 0.25f, knobs[17] = 0.5f, knobs[18] = 0.75f, knobs[19] = 1;
  const std::vector<float> inputs = {0, 0, 0, 42};
  std::vector<Packed> packed(spec.uniforms.size(), Packed{0, 0, {}});
  color::pack(spec, knobs.data(), inputs.data(), packed.data());

  std::vector<gpu::Pending> list;
  for (const Packed& p : packed) {
    gpu::Pending pending = std::bit_cast<gpu::Pending>(p);
    pending.location = gl().GetUniformLocation(
        program, spec.uniforms[static_cast<std::size_t>(p.index)].name.c_str());
    list.push_back(pending);
  }
  gpu::uniform_set_many(program, list.data(), static_cast<int>(list.size()));
  ASSERT_EQ(gpu::draw(target.fbo(), 2, 2, program, nullptr, 0, nullptr, 0, triangle.vao(),
                      GL_TRIANGLES, 3, 0),
            0);
  const std::array<float, 4> expected[] = {{42, -1.5f, 0.25f, 0},
                                           {0.75f, 0.5f, 0.25f, 0},
                                           {13, 14, 15, 16},
                                           {741, 852, 963, 0},
                                           {13951, 15062, 16173, 17284}};
  for (int i = 0; i < 5; ++i) {
    const std::vector<float> pixels = target.read(i);
    EXPECT_THAT(std::vector<float>(pixels.begin(), pixels.begin() + 4),
                ElementsAreArray(expected[i]))
        << "output " << i;
  }
  // Packing the same values again is a batch the registry recognises without a GL call.
  const auto skips = gpu::stats().uniform_skips;
  gpu::uniform_set_many(program, list.data(), static_cast<int>(list.size()));
  EXPECT_EQ(gpu::stats().uniform_skips, skips + 6);
}

}  // namespace
