#include "quarn/gpu/draw.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "quarn/gpu/gl.h"
#include "support/gl_calls.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;
using qn_test::FloatTarget;
using qn_test::FullScreenTriangle;
using qn_test::gl;
using qn_test::GlCallLog;
using qn_test::GlContext;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

constexpr int W = 8, H = 4;

gpu::Pending pending(int location, std::initializer_list<float> values) {
  gpu::Pending p{location, static_cast<std::int32_t>(values.size()), {}};
  int i = 0;
  for (float v : values) p.values[i++] = v;
  return p;
}

// M (column-major, n x n) times v.
std::vector<float> times(const float* m, int n, std::vector<float> v) {
  std::vector<float> out(static_cast<size_t>(n), 0.f);
  for (int row = 0; row < n; ++row)
    for (int col = 0; col < n; ++col) out[row] += m[col * n + row] * v[col];
  return out;
}

class Draw : public qn_test::GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string log;
    program_ = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                     qn_test::UNIFORM_PROBE_SHADER, &log);
    ASSERT_NE(program_, 0u) << log;
    triangle_.emplace();
    target_.emplace(W, H, 6);
    ASSERT_TRUE(target_->complete());
    // What a host does after linking: declare the float uniforms.
    const struct {
      const char* name;
      int kind, components;
    } declared[] = {{"u1", 0, 1}, {"u2", 0, 2}, {"u3", 1, 3},
                    {"u4", 1, 4}, {"m3", 5, 1}, {"m4", 6, 1}};
    for (const auto& d : declared)
      gpu::program_add(program_, d.name,
                       {gl().GetUniformLocation(program_, d.name), d.kind, d.components});
  }
  void TearDown() override {
    if (program_) {
      gpu::program_forget(program_);
      gl().DeleteProgram(program_);
    }
  }

  int location(const char* name) const { return gpu::uniform_info(program_, name)->location; }

  // The full-screen pass into the probe target, then back to `bound` (0 by default).
  int pass(const std::vector<gpu::Pending>& uniforms, const std::vector<gpu::Unit>& units,
           std::uint32_t bound = 0) {
    return gpu::draw(target_->fbo(), W, H, program_, uniforms.data(),
                     static_cast<int>(uniforms.size()), units.data(),
                     static_cast<int>(units.size()), triangle_->vao(), GL_TRIANGLES, 3, bound);
  }

  // Every pixel of output `i` equals `rgba`.
  void expect_output(int i, std::vector<float> rgba) const {
    std::vector<float> pixels = target_->read(i);
    for (size_t p = 0; p < pixels.size(); p += 4)
      ASSERT_THAT(std::vector<float>(pixels.begin() + p, pixels.begin() + p + 4),
                  ElementsAreArray(rgba))
          << "output " << i << " pixel " << p / 4;
  }

  GLuint program_ = 0;
  std::optional<FullScreenTriangle> triangle_;
  std::optional<FloatTarget> target_;
};

const std::vector<std::string_view> EIGHT_CALLS = {
    "BindFramebuffer", "Viewport",        "Scissor",
    "UseProgram",      "BindVertexArray", "DrawElementsInstancedBaseInstance",
    "BindVertexArray", "BindFramebuffer"};

}  // namespace

TEST_F(Draw, UniformsOfEverySizeAndTextureUnitsReachTheShader) {
  const float m3[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const float m4[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<gpu::Pending> uniforms = {
      pending(location("u1"), {0.25f}),
      pending(location("u2"), {-1.5f, 2.f}),
      pending(location("u3"), {3.f, 4.f, 5.f}),
      pending(location("u4"), {6.f, 7.f, 8.f, 9.f}),
      pending(location("m3"), {m3[0], m3[1], m3[2], m3[3], m3[4], m3[5], m3[6], m3[7], m3[8]}),
      pending(location("m4"), {m4[0], m4[1], m4[2], m4[3], m4[4], m4[5], m4[6], m4[7], m4[8], m4[9],
                               m4[10], m4[11], m4[12], m4[13], m4[14], m4[15]})};
  for (const char* name : {"u1", "u2", "u3", "u4", "m3", "m4"}) {
    const gpu::UniformInfo* info = gpu::uniform_info(program_, name);
    ASSERT_GE(info->location, 0) << name;
    auto p = std::find_if(uniforms.begin(), uniforms.end(),
                          [&](const gpu::Pending& u) { return u.location == info->location; });
    EXPECT_TRUE(gpu::uniform_accepts(*info, p->count)) << name;
  }
  GLuint left_right_3 = qn_test::two_texel_texture({0.1f, 0.2f, 0, 1}, {0.3f, 0.4f, 0, 1});
  GLuint left_right_5 = qn_test::two_texel_texture({0.5f, 0.6f, 0, 1}, {0.7f, 0.8f, 0, 1});
  GLuint clamp = qn_test::clamping_sampler();
  std::vector<gpu::Unit> units = {{3, GL_TEXTURE_2D, left_right_3, clamp},
                                  {5, GL_TEXTURE_2D, left_right_5, 0}};
  target_->clear({-7, -7, -7, -7});
  ASSERT_EQ(pass(uniforms, units), 0);

  expect_output(0, {0.25f, -1.5f, 2.f, 0.f});
  expect_output(1, {3.f, 4.f, 5.f, 0.f});
  expect_output(2, {6.f, 7.f, 8.f, 9.f});
  auto m3v = times(m3, 3, {1, 10, 100});
  expect_output(3, {m3v[0], m3v[1], m3v[2], 0.f});
  expect_output(4, times(m4, 4, {1, 10, 100, 1000}));
  // Unit 3 has the clamping sampler (right texel); unit 5 has none (repeat: left texel).
  expect_output(5, {0.3f, 0.4f, 0.5f, 0.6f});

  // A repeated pass skips every upload, and GL still holds the values it got the first time.
  target_->clear({-7, -7, -7, -7});
  auto before = gpu::stats();
  ASSERT_EQ(pass(uniforms, units), 0);
  EXPECT_EQ(gpu::stats().uniform_uploads, before.uniform_uploads);
  EXPECT_EQ(gpu::stats().uniform_skips, before.uniform_skips + 6);
  expect_output(2, {6.f, 7.f, 8.f, 9.f});
  expect_output(4, times(m4, 4, {1, 10, 100, 1000}));

  // One changed value reaches the shader; swapping samplers swaps texels.
  uniforms[3].values[0] = -6.f;
  std::swap(units[0].sampler, units[1].sampler);
  ASSERT_EQ(pass(uniforms, units), 0);
  expect_output(2, {-6.f, 7.f, 8.f, 9.f});
  expect_output(5, {0.1f, 0.2f, 0.7f, 0.8f});

  gl().DeleteTextures(1, &left_right_3);
  gl().DeleteTextures(1, &left_right_5);
  gl().DeleteSamplers(1, &clamp);
}

TEST_F(Draw, BarePassMakesExactlyEightCallsAndRestoresTheCallersFramebuffer) {
  GlCallLog calls;
  auto draws = gpu::stats().draws;
  ASSERT_EQ(pass({}, {}), 0);
  EXPECT_THAT(calls.calls(), ElementsAreArray(EIGHT_CALLS));
  EXPECT_EQ(gpu::stats().draws, draws + 1);

  // Negative counts and null arrays apply nothing as well.
  const gpu::Pending one = pending(location("u1"), {1.f});
  const gpu::Unit unit = {0, GL_TEXTURE_2D, 0, 0};
  calls.clear();
  ASSERT_EQ(gpu::draw(target_->fbo(), W, H, program_, &one, -1, &unit, -3, triangle_->vao(),
                      GL_TRIANGLES, 3, 0),
            0);
  ASSERT_EQ(gpu::draw(target_->fbo(), W, H, program_, nullptr, 4, nullptr, 2, triangle_->vao(),
                      GL_TRIANGLES, 3, 0),
            0);
  EXPECT_EQ(calls.size(), 16u);
  EXPECT_EQ(gpu::stats().draws, draws + 3);

  // The caller's framebuffer is bound again, and no vertex array.
  FloatTarget callers(1, 1, 1);
  ASSERT_EQ(pass({}, {}, callers.fbo()), 0);
  GLint framebuffer = -1, vertex_array = -1;
  gl().GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
  gl().GetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertex_array);
  EXPECT_EQ(static_cast<GLuint>(framebuffer), callers.fbo());
  EXPECT_EQ(vertex_array, 0);

  calls.clear();
  gpu::count_draw();  // counts a draw the caller made itself
  EXPECT_EQ(gpu::stats().draws, draws + 5);
  EXPECT_TRUE(calls.calls().empty());
}

TEST_F(Draw, UniformsGoBetweenProgramAndUnitsAndRepeatFree) {
  std::vector<gpu::Pending> uniforms = {pending(location("u1"), {1.f}),
                                        pending(location("u2"), {1.f, 2.f})};
  std::vector<gpu::Unit> units = {{2, GL_TEXTURE_2D, 0, 0}, {4, GL_TEXTURE_2D, 0, 0}};
  gpu::uniform_forget(program_, -1);
  GlCallLog calls;
  ASSERT_EQ(pass(uniforms, units), 0);
  EXPECT_THAT(
      calls.calls(),
      ElementsAre("BindFramebuffer", "Viewport", "Scissor", "UseProgram", "ProgramUniform1fv",
                  "ProgramUniform2fv", "ActiveTexture", "BindTexture", "BindSampler",
                  "ActiveTexture", "BindTexture", "BindSampler", "BindVertexArray",
                  "DrawElementsInstancedBaseInstance", "BindVertexArray", "BindFramebuffer"));
  calls.clear();
  auto before = gpu::stats();
  ASSERT_EQ(pass(uniforms, units), 0);
  EXPECT_EQ(calls.uniform_calls(), 0u);
  EXPECT_EQ(calls.size(), 14u);
  EXPECT_EQ(gpu::stats().uniform_uploads, before.uniform_uploads);
  EXPECT_EQ(gpu::stats().uniform_skips, before.uniform_skips + 2);
}

TEST_F(Draw, RefusesWithoutTheLoadedContextCurrent) {
  auto draws = gpu::stats().draws;
  GlContext second;
  ASSERT_EQ(second.error(), "");
  {
    GlCallLog calls;
    int on_other_thread = 0;
    std::thread([&] { on_other_thread = pass({}, {}); }).join();
    EXPECT_EQ(on_other_thread, -2);

    ASSERT_TRUE(GlContext::release_current());
    EXPECT_EQ(pass({}, {}), -2);

    ASSERT_TRUE(second.make_current());
    EXPECT_EQ(pass({}, {}), -2);
    EXPECT_TRUE(calls.calls().empty());
    EXPECT_EQ(gpu::stats().draws, draws);
  }
  // Loading for the second context lets it draw (into its own default framebuffer, with
  // names that mean nothing there: GL's business).
  ASSERT_TRUE(qn::gpu::gl::load(nullptr));
  GlCallLog calls;
  EXPECT_EQ(gpu::draw(0, 1, 1, 0, nullptr, 0, nullptr, 0, 0, GL_TRIANGLES, 0, 0), 0);
  EXPECT_THAT(calls.calls(), ElementsAreArray(EIGHT_CALLS));
  EXPECT_EQ(gpu::stats().draws, draws + 1);
  ASSERT_TRUE(shared_context().make_current());
}
