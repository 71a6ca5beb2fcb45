#include "quarn/nodes/color/pack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <numeric>
#include <tuple>
#include <vector>

#include "quarn/gpu/draw.h"
#include "support/gl_fixture.h"

namespace {

using namespace qn::nodes::color;
using testing::ElementsAre;
Knob knob(const char* name, int n, int defaults = -1) {
  return {name, n, std::vector<float>(defaults >= 0 ? defaults : std::max(n, 0))};
}
Source from_knob(int k, int c) { return {0, k, c, 0}; }
Source from_input(int i) { return {1, i, 0, 0}; }
Source constant(float v) { return {2, 0, 0, v}; }
Source gated(int gate, int passed) { return {3, gate, passed, 0}; }
std::vector<Source> ramp(int n, int from) {
  std::vector<Source> s;
  for (int i = 0; i < n; ++i) s.push_back(from_knob(0, from + i));
  return s;
}
// A record holding a sentinel, so that what `pack` leaves alone shows.
const Packed SENTINEL = {-5, -5, {-5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5, -5}};

TEST(ColorPack, FinishNamesTheFirstFault) {
  const std::tuple<std::vector<Knob>, std::vector<Uniform>, const char*> cases[] = {
      {{knob("gain", 3, 2)}, {}, "knob gain: length / default mismatch"},
      {{knob("a", 1), knob("zero", 0)}, {}, "knob zero: length / default mismatch"},
      {{knob("big", 17)}, {{"u", {}}}, "knob big: length / default mismatch"},
      {{},
       {{"u", std::vector(16, constant(1))}, {"v", std::vector(17, constant(1))}},
       "uniform v: 1..16 components"},
      {{}, {{"empty", {}}}, "uniform empty: 1..16 components"},
      {{}, {{"in", {from_input(64)}}}, "uniform in: source out of range"},
      {{knob("k", 2)},
       {{"c", {from_knob(0, 1), from_knob(0, 2)}}},
       "uniform c: source out of range"},
      {{knob("k", 2)}, {{"k1", {from_knob(1, 0)}}}, "uniform k1: source out of range"},
      {{knob("k", 2)}, {{"g", {gated(0, 1)}}}, "uniform g: source out of range"},
      {{knob("k", 2)}, {{"g", {gated(-1, 0)}}}, "uniform g: source out of range"}};
  for (const auto& [knobs, uniforms, message] : cases) {
    Spec spec{knobs, uniforms, {}};
    std::string err = "previous";
    EXPECT_TRUE(!spec.finish(&err) && err == message && !spec.finish(nullptr)) << err;
  }
}

TEST(ColorPack, LayoutAndEverySourceKind) {
  Spec spec{{knob("gain", 3), knob("on", 1), knob("off", 1), knob("lift", 16), knob("nan", 1)},
            {{"gain", {from_knob(0, 2), from_knob(0, 0), from_knob(3, 15)}},
             {"mixed", {from_input(63), constant(-2.5f), {7, 0, 0, 9}, gated(1, 3)}},
             {"gates", {gated(2, 0), gated(4, 3), gated(1, 1)}}},
            {}};
  ASSERT_TRUE(spec.finish(nullptr));
  EXPECT_EQ(std::tuple(spec.starts, spec.knob_floats, spec.input_count),
            std::tuple(std::vector<int>{0, 3, 4, 5, 21}, 22, 64));
  // Exactly as long as the `Spec` says, so that a stray read shows under the sanitizers.
  std::vector<float> knobs(22, 8.0f), inputs(64, 11.0f);
  knobs[0] = 1, knobs[2] = 3, knobs[3] = 0.5f, knobs[4] = -0.0f, knobs[5] = 7;
  knobs[21] = std::numeric_limits<float>::quiet_NaN();
  std::vector<Packed> out(3, SENTINEL);
  pack(spec, knobs.data(), inputs.data(), out.data());
  EXPECT_EQ(std::tuple(out[0].index, out[0].count, out[1].index, out[1].count, out[2].count),
            std::tuple(0, 3, 1, 4, 3));
  EXPECT_THAT(std::vector(out[0].values, out[0].values + 4), ElementsAre(3, 1, 8, -5));
  EXPECT_THAT(std::vector(out[1].values, out[1].values + 5), ElementsAre(11, -2.5f, 0, 7, -5));
  // A -0.0 gate shuts, a NaN gate passes, a gate passes the other knob's first value.
  EXPECT_THAT(std::vector(out[2].values, out[2].values + 4), ElementsAre(0, 7, 0.5f, -5));
}

TEST(ColorPack, MismatchingUniformsAreLeftUntouched) {
  Spec spec{{knob("a", 2), knob("b", 1), knob("broken", 0)},
            {{"b", {from_knob(1, 0)}},
             {"a1", {from_knob(0, 1)}},
             {"i", {from_input(1)}},
             {"g", {gated(1, 0)}},
             {"a0", {from_knob(0, 0)}}},
            {}};
  ASSERT_FALSE(spec.finish(nullptr));  // lays out the knobs, counts no input
  spec.knobs.pop_back();
  const std::vector<float> knobs = {1, 2, 3}, inputs = {4, 5};
  const std::tuple<void (*)(Spec&), std::vector<int>> edits[] = {
      {[](Spec&) {}, {2}},
      {[](Spec& s) { ASSERT_TRUE(s.finish(nullptr)); }, {}},
      {[](Spec& s) { s.uniforms[4].sources = ramp(17, 0); }, {2, 4}},
      {[](Spec& s) { s.uniforms[4].sources.clear(); }, {2, 4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = from_knob(0, 3); }, {2, 4}},
      {[](Spec& s) { s.uniforms[4].sources[0] = gated(0, 7); }, {2, 4}},
      {[](Spec& s) { s.starts[1] = std::numeric_limits<std::int32_t>::max(); }, {0, 2, 3}},
      {[](Spec& s) { s.starts[0] = -1; }, {2, 3, 4}},  // component 1 of knob 0 still fits
      {[](Spec& s) { s.starts.pop_back(); }, {0, 2, 3}},
      {[](Spec& s) { s.knob_floats = 2; }, {0, 2, 3}},
      {[](Spec& s) { s.input_count = 3; }, {}}};  // trusted: inputs holds input_count values
  for (const auto& [edit, expected] : edits) {
    Spec edited = spec;
    edit(edited);
    std::vector<Packed> out(5, SENTINEL);
    pack(edited, knobs.data(), inputs.data(), out.data());
    std::vector<int> left;
    for (int i = 0; i < 5; ++i)
      if (out[static_cast<std::size_t>(i)].index == -5) left.push_back(i);
    EXPECT_EQ(left, expected);
  }
}

class ColorUpload : public qn_test::GlTest {};

// Packed records, positions mapped to locations, go through the batch upload to the shader.
TEST_F(ColorUpload, PackedRecordsReachTheShader) {
  std::string log;
  const GLuint program = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                               qn_test::UNIFORM_PROBE_SHADER, &log);
  ASSERT_NE(program, 0u) << log;
  Spec spec{{knob("m", 16), knob("gain", 3), knob("on", 1)},
            {{"u1", {from_input(3)}},
             {"u2", {constant(-1.5f), gated(2, 1)}},
             {"u3", {from_knob(1, 2), from_knob(1, 1), from_knob(1, 0)}},
             {"u4", ramp(4, 12)},
             {"m3", ramp(9, 0)},
             {"m4", ramp(16, 0)}},
            {}};
  ASSERT_TRUE(spec.finish(nullptr));
  std::vector<float> knobs(16), inputs = {0, 0, 0, 42};
  std::iota(knobs.begin(), knobs.end(), 1.0f);
  knobs.insert(knobs.end(), {0.25f, 0.5f, 0.75f, 1});
  std::vector<Packed> packed(spec.uniforms.size(), Packed{0, 0, {}});
  pack(spec, knobs.data(), inputs.data(), packed.data());
  std::vector<qn::gpu::Pending> list;  // the same layout: positions become locations
  for (const Packed& p : packed) list.push_back(std::bit_cast<qn::gpu::Pending>(p));
  for (auto& p : list)
    p.location = qn_test::gl().GetUniformLocation(program, spec.uniforms[p.location].name.c_str());
  qn::gpu::uniform_set_many(program, list.data(), static_cast<int>(list.size()));
  qn_test::FullScreenTriangle triangle;
  qn_test::FloatTarget target(1, 1, 5);
  ASSERT_EQ(qn::gpu::draw(target.fbo(), 1, 1, program, nullptr, 0, nullptr, 0, triangle.vao(),
                          GL_TRIANGLES, 3, 0),
            0);
  const std::vector<std::vector<float>> expected = {{42, -1.5f, 0.25f, 0},
                                                    {0.75f, 0.5f, 0.25f, 0},
                                                    {13, 14, 15, 16},
                                                    {741, 852, 963, 0},
                                                    {13951, 15062, 16173, 17284}};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(target.read(i), expected[i]) << "output " << i;
}

}  // namespace
