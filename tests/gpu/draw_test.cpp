#include "quarn/gpu/draw.h"

#include <gtest/gtest.h>

#include "support/gl_fixture.h"

namespace gpu = qn::gpu;
using qn_test::gl;
using Draw = qn_test::GlTest;

// The probe pass drawn twice: every value is uploaded; then the same values make no uniform call
// and GL keeps what it got, while swapped samplers swap texels. The caller's bindings come back.
TEST_F(Draw, UniformsOfEverySizeAndTextureUnitsReachTheShaderAndStateIsPutBack) {
  constexpr int W = 8, H = 4;
  std::string err;
  const GLuint program = qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER,
                                               qn_test::UNIFORM_PROBE_SHADER, &err);
  ASSERT_NE(program, 0u) << err;
  qn_host::declare_uniforms(program);
  const qn_test::FullScreenTriangle triangle;
  const qn_test::FloatTarget target(W, H, 6), callers(1, 1, 1);
  auto at = [&](const char* name) { return gpu::uniform_info(program, name)->location; };
  const std::vector<gpu::Pending> uniforms = {
      {at("u1"), 1, {0.25f}},
      {at("u2"), 2, {-1.5f, 2}},
      {at("u3"), 3, {3, 4, 5}},
      {at("u4"), 4, {6, 7, 8, 9}},
      {at("m3"), 9, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {at("m4"), 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}};
  // Texels (0, 1, 2, 3), (4, 5, 6, 7) at s = 1.25: the first where it repeats, the last clamped.
  const qn_test::FloatTarget texels(2, 1, 1);
  texels.fill_pattern(0);
  GLuint clamp = 0;
  gl().CreateSamplers(1, &clamp);
  gl().SamplerParameteri(clamp, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  std::vector<gpu::Unit> units = {{3, GL_TEXTURE_2D, texels.texture(0), clamp},
                                  {5, GL_TEXTURE_2D, texels.texture(0), 0}};
  for (int round = 0; round < 2; ++round) {
    qn_test::GlCallLog calls;
    ASSERT_EQ(gpu::draw(target.fbo(), W, H, program, uniforms.data(), 6, units.data(), 2,
                        triangle.vao(), GL_TRIANGLES, 3, callers.fbo()),
              gpu::DRAW_DONE);
    EXPECT_EQ(calls.calls.size(), 8 + 3 * 2 + (round ? 0 : 6));  // three calls a unit, one a value
    GLint framebuffer = -1, vertex_array = -1;
    gl().GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
    gl().GetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertex_array);
    EXPECT_EQ(std::tuple(GLuint(framebuffer), vertex_array), std::tuple(callers.fbo(), 0));
    const std::vector<std::vector<float>> outputs = {
        {0.25f, -1.5f, 2, 0},
        {3, 4, 5, 0},
        {6, 7, 8, 9},
        {741, 852, 963, 0},  // column-major
        {13951, 15062, 16173, 17284},
        round ? std::vector<float>{0, 1, 4, 5} : std::vector<float>{4, 5, 0, 1}};  // units 3, 5
    for (int i = 0; i < 6; ++i)
      for (int p = 0; p < W * H; ++p)
        EXPECT_TRUE(
            std::equal(outputs[i].begin(), outputs[i].end(), target.read(i).begin() + 4 * p))
            << "output " << i << " pixel " << p << " round " << round;
    std::swap(units[0].sampler, units[1].sampler);
  }
}
