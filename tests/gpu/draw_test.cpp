#include "quarn/gpu/draw.h"

#include <gmock/gmock.h>

#include <thread>

#include "support/gl_calls.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;
using qn_test::gl;
using qn_test::GlCallLog;
using qn_test::GlContext;
using qn_test::pending;
using ::testing::ElementsAreArray;

namespace {

constexpr int W = 8, H = 4;
const std::vector<std::string_view> EIGHT_CALLS = {
    "BindFramebuffer", "Viewport",        "Scissor",
    "UseProgram",      "BindVertexArray", "DrawElementsInstancedBaseInstance",
    "BindVertexArray", "BindFramebuffer"};

// The probe pass (support/gl_api.h), made once, its uniforms declared by the host helper.
class Draw : public qn_test::GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    if (HasFatalFailure() || program) return;
    std::string log;
    program = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                    qn_test::UNIFORM_PROBE_SHADER, &log);
    ASSERT_NE(program, 0u) << log;
    qn_host::declare_uniforms(program);
    triangle = new qn_test::FullScreenTriangle;
    target = new qn_test::FloatTarget(W, H, 6);
  }

  static gpu::Pending value(const char* name, std::initializer_list<float> v) {
    return pending(gpu::uniform_info(program, name)->location, v);
  }

  static int pass(const std::vector<gpu::Pending>& uniforms, const std::vector<gpu::Unit>& units,
                  std::uint32_t bound = 0) {
    return gpu::draw(target->fbo(), W, H, program, uniforms.data(), int(uniforms.size()),
                     units.data(), int(units.size()), triangle->vao(), GL_TRIANGLES, 3, bound);
  }

  // Every pixel of each output i is outputs[i].
  static void expect_outputs(const std::vector<std::vector<float>>& outputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      std::vector<float> all;
      for (int p = 0; p < W * H; ++p) all.insert(all.end(), outputs[i].begin(), outputs[i].end());
      EXPECT_EQ(target->read(int(i)), all) << "output " << i;
    }
  }

  inline static GLuint program = 0;
  inline static qn_test::FullScreenTriangle* triangle = nullptr;
  inline static qn_test::FloatTarget* target = nullptr;
};

// A 2x1 texture, `left` then `right`, nearest filtering, repeating: sampled at s = 1.25 it
// gives `left`, unless a sampler that clamps to the edge gives `right`.
GLuint two_texel_texture(std::array<float, 8> texels) {
  GLuint texture = 0;
  gl().CreateTextures(GL_TEXTURE_2D, 1, &texture);
  gl().TextureStorage2D(texture, 1, GL_RGBA32F, 2, 1);
  gl().TextureSubImage2D(texture, 0, 0, 0, 2, 1, GL_RGBA, GL_FLOAT, texels.data());
  gl().TextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  return texture;
}

}  // namespace

TEST_F(Draw, UniformsOfEverySizeAndTextureUnitsReachTheShader) {
  std::vector<gpu::Pending> uniforms = {
      value("u1", {0.25f}),
      value("u2", {-1.5f, 2}),
      value("u3", {3, 4, 5}),
      value("u4", {6, 7, 8, 9}),
      value("m3", {1, 2, 3, 4, 5, 6, 7, 8, 9}),
      value("m4", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})};
  GLuint clamp = 0;
  gl().CreateSamplers(1, &clamp);
  gl().SamplerParameteri(clamp, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  gl().SamplerParameteri(clamp, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  std::vector<gpu::Unit> units = {
      {3, GL_TEXTURE_2D, two_texel_texture({0.1f, 0.2f, 0, 1, 0.3f, 0.4f, 0, 1}), clamp},
      {5, GL_TEXTURE_2D, two_texel_texture({0.5f, 0.6f, 0, 1, 0.7f, 0.8f, 0, 1}), 0}};
  gpu::uniform_forget(program, -1);
  for (int round = 0; round < 3; ++round) {
    // The same pass again makes no uniform call, and GL keeps what it got the first time; then
    // one changed value is uploaded, and swapped samplers swap texels.
    if (round == 2) {
      uniforms[3].values[0] = -6;
      std::swap(units[0].sampler, units[1].sampler);
    }
    target->clear({-7, -7, -7, -7});
    const auto skips = gpu::stats().uniform_skips;
    GlCallLog calls;
    ASSERT_EQ(pass(uniforms, units), gpu::DRAW_DONE);
    const std::size_t uploaded[] = {6, 0, 1};
    EXPECT_EQ(calls.uniform_calls(), uploaded[round]);
    EXPECT_EQ(calls.size(), 8u + uploaded[round] + 2 * 3u);  // and three calls per unit
    EXPECT_EQ(gpu::stats().uniform_skips, skips + 6 - uploaded[round]);
    expect_outputs({{0.25f, -1.5f, 2, 0},
                    {3, 4, 5, 0},
                    {round == 2 ? -6.f : 6, 7, 8, 9},
                    {741, 852, 963, 0},  // column-major
                    {13951, 15062, 16173, 17284},
                    round == 2 ? std::vector<float>{0.1f, 0.2f, 0.7f, 0.8f}
                               : std::vector<float>{0.3f, 0.4f, 0.5f, 0.6f}});  // 3 clamps
  }
}

TEST_F(Draw, BarePassMakesEightCallsAndBindsTheCallersFramebufferAgain) {
  const gpu::Pending one = value("u1", {123});
  const gpu::Unit unit = {0, GL_TEXTURE_2D, 0, 0};
  qn_test::FloatTarget callers(1, 1, 1);
  auto draws = gpu::stats().draws;
  GlCallLog calls;
  ASSERT_EQ(pass({}, {}, callers.fbo()), gpu::DRAW_DONE);
  EXPECT_THAT(calls.calls, ElementsAreArray(EIGHT_CALLS));
  GLint framebuffer = -1, vertex_array = -1;
  gl().GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
  gl().GetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertex_array);
  EXPECT_EQ(std::tuple(GLuint(framebuffer), vertex_array), std::tuple(callers.fbo(), 0));

  // Negative counts and null arrays apply nothing either.
  calls.calls.clear();
  EXPECT_EQ(gpu::draw(target->fbo(), W, H, program, &one, -1, &unit, -3, triangle->vao(),
                      GL_TRIANGLES, 3, 0),
            gpu::DRAW_DONE);
  EXPECT_EQ(gpu::draw(target->fbo(), W, H, program, nullptr, 4, nullptr, 2, triangle->vao(),
                      GL_TRIANGLES, 3, 0),
            gpu::DRAW_DONE);
  EXPECT_EQ(calls.size(), 16u);
  gpu::count_draw();  // a draw the caller made itself
  EXPECT_EQ(gpu::stats().draws, draws + 4);

  // The first pass on a program without a record gives it one, so its values are cached.
  gpu::program_forget(program);
  const gpu::Pending zero = pending(0, {1});
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(gpu::draw(target->fbo(), W, H, program, &zero, 1, nullptr, 0, triangle->vao(),
                        GL_TRIANGLES, 3, 0),
              gpu::DRAW_DONE);
  EXPECT_TRUE(gpu::program_known(program));
  EXPECT_EQ(calls.uniform_calls(), 1u);
  qn_host::declare_uniforms(program);
}

TEST_F(Draw, RefusesWithoutTheLoadedContextCurrentUntilALoadThere) {
  auto draws = gpu::stats().draws;
  GlContext second;
  ASSERT_EQ(second.error(), "");
  {
    GlCallLog calls;
    int on_other_thread = 0;
    std::thread([&] { on_other_thread = pass({}, {}); }).join();
    EXPECT_EQ(on_other_thread, gpu::DRAW_REFUSED);
    ASSERT_TRUE(GlContext::release_current());
    EXPECT_EQ(pass({}, {}), gpu::DRAW_REFUSED);
    ASSERT_TRUE(second.make_current());
    EXPECT_EQ(pass({}, {}), gpu::DRAW_REFUSED);
    EXPECT_TRUE(calls.calls.empty());
    EXPECT_EQ(gpu::stats().draws, draws);
  }
  // Names of the shared context mean nothing here: draw with none.
  ASSERT_TRUE(qn::gpu::gl::load(nullptr));
  GlCallLog calls;
  EXPECT_EQ(gpu::draw(0, 1, 1, 0, nullptr, 0, nullptr, 0, 0, GL_TRIANGLES, 0, 0), gpu::DRAW_DONE);
  EXPECT_THAT(calls.calls, ElementsAreArray(EIGHT_CALLS));
  EXPECT_EQ(gpu::stats().draws, draws + 1);
  ASSERT_TRUE(shared_context().make_current());
}
