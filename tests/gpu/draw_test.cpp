#include "quarn/gpu/draw.h"

#include <gmock/gmock.h>

#include <thread>

#include "support/gl_calls.h"
#include "support/gl_fixture.h"

namespace gpu = qn::gpu;
using qn_test::gl;
using qn_test::GlCallLog;
using qn_test::GlContext;

namespace {

constexpr int W = 8, H = 4;

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

using Draw = qn_test::GlTest;

}  // namespace

// The probe pass (support/gl_api.h) with its uniforms declared by the host helper, drawn three
// times: every value is uploaded; the same pass again makes no uniform call and GL keeps what it
// got; then one changed value is uploaded, and swapped samplers swap texels.
TEST_F(Draw, UniformsOfEverySizeAndTextureUnitsReachTheShaderAndStateIsPutBack) {
  std::string err;
  const GLuint program = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                               qn_test::UNIFORM_PROBE_SHADER, &err);
  ASSERT_NE(program, 0u) << err;
  qn_host::declare_uniforms(program);
  const qn_test::FullScreenTriangle triangle;
  const qn_test::FloatTarget target(W, H, 6), callers(1, 1, 1);
  auto value = [&](const char* name, int n, std::array<float, 16> v) {
    gpu::Pending p{gpu::uniform_info(program, name)->location, n, {}};
    std::copy(v.begin(), v.end(), p.values);
    return p;
  };
  std::vector<gpu::Pending> uniforms = {
      value("u1", 1, {0.25f}),
      value("u2", 2, {-1.5f, 2}),
      value("u3", 3, {3, 4, 5}),
      value("u4", 4, {6, 7, 8, 9}),
      value("m3", 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}),
      value("m4", 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})};
  GLuint clamp = 0;
  gl().CreateSamplers(1, &clamp);
  gl().SamplerParameteri(clamp, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  gl().SamplerParameteri(clamp, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  std::vector<gpu::Unit> units = {
      {3, GL_TEXTURE_2D, two_texel_texture({0.1f, 0.2f, 0, 1, 0.3f, 0.4f, 0, 1}), clamp},
      {5, GL_TEXTURE_2D, two_texel_texture({0.5f, 0.6f, 0, 1, 0.7f, 0.8f, 0, 1}), 0}};
  const std::vector<std::vector<std::string_view>> uploads = {
      {"ProgramUniform1fv", "ProgramUniform2fv", "ProgramUniform3fv", "ProgramUniform4fv",
       "ProgramUniformMatrix3fv", "ProgramUniformMatrix4fv"},
      {},
      {"ProgramUniform4fv"}};
  for (int round = 0; round < 3; ++round) {
    if (round == 2) {
      uniforms[3].values[0] = -6;
      std::swap(units[0].sampler, units[1].sampler);
    }
    target.clear({-7, -7, -7, -7});
    GlCallLog calls;
    ASSERT_EQ(gpu::draw(target.fbo(), W, H, program, uniforms.data(), 6, units.data(), 2,
                        triangle.vao(), GL_TRIANGLES, 3, callers.fbo()),
              gpu::DRAW_DONE);
    std::vector<std::string_view> want = {"BindFramebuffer", "Viewport", "Scissor", "UseProgram"};
    want.insert(want.end(), uploads[round].begin(), uploads[round].end());
    for (int u = 0; u < 2; ++u)
      want.insert(want.end(), {"ActiveTexture", "BindTexture", "BindSampler"});
    want.insert(want.end(), {"BindVertexArray", "DrawElementsInstancedBaseInstance",
                             "BindVertexArray", "BindFramebuffer"});
    EXPECT_THAT(calls.calls, ::testing::ElementsAreArray(want));
    GLint framebuffer = -1, vertex_array = -1;
    gl().GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
    gl().GetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertex_array);
    EXPECT_EQ(std::tuple(GLuint(framebuffer), vertex_array), std::tuple(callers.fbo(), 0));
    const std::vector<std::vector<float>> outputs = {
        {0.25f, -1.5f, 2, 0},
        {3, 4, 5, 0},
        {round == 2 ? -6.f : 6, 7, 8, 9},
        {741, 852, 963, 0},  // column-major
        {13951, 15062, 16173, 17284},
        round == 2 ? std::vector<float>{0.1f, 0.2f, 0.7f, 0.8f}
                   : std::vector<float>{0.3f, 0.4f, 0.5f, 0.6f}};  // unit 3 clamps
    for (int i = 0; i < 6; ++i) {
      const std::vector<float> pixels = target.read(i);
      for (int p = 0; p < W * H; ++p)
        EXPECT_TRUE(std::equal(outputs[i].begin(), outputs[i].end(), pixels.begin() + 4 * p))
            << "output " << i << " pixel " << p << " round " << round;
    }
  }
}

TEST_F(Draw, RefusesWithoutTheLoadedContextCurrentUntilALoadThere) {
  auto draws = gpu::stats().draws;
  auto pass = [] { return gpu::draw(0, 1, 1, 0, nullptr, 0, nullptr, 0, 0, GL_TRIANGLES, 0, 0); };
  GlContext second;
  ASSERT_EQ(second.error(), "");
  {
    GlCallLog calls;
    int on_other_thread = 0;
    std::thread([&] { on_other_thread = pass(); }).join();
    EXPECT_EQ(on_other_thread, gpu::DRAW_REFUSED);
    ASSERT_TRUE(GlContext::release_current());
    EXPECT_EQ(pass(), gpu::DRAW_REFUSED);
    ASSERT_TRUE(second.make_current());
    EXPECT_EQ(pass(), gpu::DRAW_REFUSED);
    EXPECT_TRUE(calls.calls.empty());
    EXPECT_EQ(gpu::stats().draws, draws);
  }
  ASSERT_TRUE(qn::gpu::gl::load(nullptr));
  GlCallLog calls;
  EXPECT_EQ(pass(), gpu::DRAW_DONE);
  EXPECT_EQ(calls.size(), 8u);
  EXPECT_EQ(gpu::stats().draws, draws + 1);
  ASSERT_TRUE(shared_context().make_current());
}
