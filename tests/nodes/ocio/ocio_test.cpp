// The splicing functions, then OpenColorIO's GLSL for a 3D LUT spliced into a host template,
// drawn on real GL and compared with OpenColorIO's CPU result.
#include <OpenColorIO/OpenColorIO.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <tuple>
#include <vector>

#include "quarn/gpu/draw.h"
#include "quarn/nodes/ocio/splice.h"
#include "support/gl_fixture.h"
#include "support/temp_dir.h"

namespace OCIO = OCIO_NAMESPACE;
using namespace qn::nodes::ocio;

namespace {

TEST(Splice, MarkersAndLookups) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"A\n//@OCIO\nB", "F", "A\nF\nB"},
      {"a\n//@OCIO\n\n//@OCIO\nb", "F", "a\nF\n\nF\nb"},
      {"a\n//@OCIO\n//@OCIO\nb", "F", "a\nF\n//@OCIO\nb"},  // the second shares a newline
      {"no marker // @OCIO\n", "F", "no marker // @OCIO\n"},
      {"\n//@OCIO", "F", "\n//@OCIO"},
      {"\n//@OCIO\n", "", "\n\n"},
      {"x\n//@OCIO\ny", "\n//@OCIO\n", "x\n\n//@OCIO\n\ny"},  // inserted text is not rescanned
      {"", "F", ""}};
  for (const auto& [base, fragment, expected] : cases)
    EXPECT_EQ(splice(base, fragment), expected) << base;
  const std::tuple<std::string, std::string, std::string, bool> patches[] = {
      {"a = texture(lut, uv); b = texture(lut, uv);", "lut",
       "a = qn_lut3d_trilinear(lut, uv); b = qn_lut3d_trilinear(lut, uv);", true},
      {"texture(lut, uv)", "lu", "texture(lut, uv)", false},
      {"texture(lut,uv) texture( lut, uv)", "lut", "texture(lut,uv) texture( lut, uv)", false},
      {"texture(, x) texture(s, x)", "", "qn_lut3d_trilinear(, x) texture(s, x)", true},
      {"texture(l, texture(l, c))", "l", "qn_lut3d_trilinear(l, qn_lut3d_trilinear(l, c))", true},
      {"xtexture(lut, c)", "lut", "xqn_lut3d_trilinear(lut, c)", true},
      {"", "lut", "", false}};
  for (auto [src, sampler, expected, changed] : patches) {
    EXPECT_EQ(patch_lut3d(src, sampler), changed) << expected;
    EXPECT_EQ(src, expected);
  }
}

constexpr int SIDE = 64, EDGE = 17;  // a 64 x 64 ramp of inputs; the LUT's edge

// The host's template: a trilinear lookup on texel centres (the LUT needs no filtering), the
// marker where OpenColorIO's function goes, and a main drawing the ramp.
const char* const TEMPLATE = R"(#version 450 core
layout(location = 0) out vec4 color;
vec4 qn_lut3d_trilinear(sampler3D lut, vec3 coord) {
  ivec3 n = textureSize(lut, 0);
  vec3 p = clamp(coord * vec3(n) - 0.5, vec3(0.0), vec3(n - 1)), f = fract(p);
  ivec3 i = ivec3(p), j = min(i + 1, n - 1);
  vec4 c[8];
  for (int k = 0; k < 8; ++k)
    c[k] = texelFetch(lut, mix(i, j, bvec3(k & 1, k & 2, k & 4)), 0);
  for (int k = 0; k < 4; ++k) c[k] = mix(c[k], c[k + 4], f.z);
  return mix(mix(c[0], c[1], f.x), mix(c[2], c[3], f.x), f.y);
}
//@OCIO
void main() {
  ivec2 px = ivec2(gl_FragCoord.xy);
  color = OCIOMain(vec4(vec3(px.x, px.y, (7 * px.x + 13 * px.y) % 64) / 63.0, 1.0));
}
)";

class OcioRender : public qn_test::GlTest {};

TEST_F(OcioRender, SplicedShaderMatchesTheCpuProcessor) {
  qn_test::TempDir dir;  // a smooth, channel-mixing grade far from the identity, red fastest
  std::ofstream cube(dir.file("grade.cube"));
  cube << "LUT_3D_SIZE " << EDGE << "\n";
  for (int i = 0; i < EDGE * EDGE * EDGE; ++i) {
    const double R = i % EDGE / 16.0, G = i / EDGE % EDGE / 16.0, B = i / EDGE / EDGE / 16.0;
    cube << std::pow(R, 2.2) * 0.8 + 0.2 * B << " " << std::sqrt(G) * (0.5 + 0.5 * R) << " "
         << 0.5 + 0.5 * std::sin(6 * B + 3 * G) << "\n";
  }
  cube.close();
  const auto transform = OCIO::FileTransform::Create();
  transform->setSrc(dir.file("grade.cube").c_str());
  transform->setInterpolation(OCIO::INTERP_LINEAR);
  const auto processor = OCIO::Config::CreateRaw()->getProcessor(transform);
  auto desc = OCIO::GpuShaderDesc::CreateShaderDesc();
  desc->setLanguage(OCIO::GPU_LANGUAGE_GLSL_4_0);
  desc->setFunctionName("OCIOMain");
  desc->setResourcePrefix("ocio_");
  processor->getDefaultGPUProcessor()->extractGpuShaderInfo(desc);
  ASSERT_EQ(std::tuple(desc->getNum3DTextures(), desc->getNumTextures(), desc->getNumUniforms()),
            std::tuple(1u, 0u, 0u));
  const char *texture_name = nullptr, *sampler = nullptr;
  unsigned edge = 0;
  OCIO::Interpolation interpolation{};
  desc->get3DTexture(0, texture_name, sampler, edge, interpolation);
  ASSERT_EQ(edge, unsigned(EDGE));
  // What the library does: patch the lookups, splice, widen the LUT.
  std::string fragment = desc->getShaderText();
  ASSERT_TRUE(patch_lut3d(fragment, sampler));
  ASSERT_EQ(fragment.find(std::string("texture(") + sampler), std::string::npos);
  const std::string source = splice(TEMPLATE, fragment);
  const float* rgb = nullptr;
  desc->get3DTextureValues(0, rgb);
  std::vector<float> rgba(4 * EDGE * EDGE * EDGE + 1, -1.0f);  // the last stays untouched
  rgb_to_rgba(rgb, rgba.size() / 4, rgba.data());
  ASSERT_EQ(std::tuple(rgba[3], rgba[2] == rgb[2], rgba.back()), std::tuple(1.0f, true, -1.0f));
  std::string log;
  const GLuint program =
      qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER, source.c_str(), &log);
  ASSERT_NE(program, 0u) << log << "\n" << source;
  // GL is never linked: the 3D texture calls come through eglGetProcAddress.
  const auto get = reinterpret_cast<void* (*)(const char*)>(
      dlsym(dlopen("libEGL.so.1", RTLD_LAZY | RTLD_NOLOAD), "eglGetProcAddress"));
  GLuint lut = 0;
  qn_test::gl().CreateTextures(GL_TEXTURE_3D, 1, &lut);
  reinterpret_cast<decltype(&glTextureStorage3D)>(get("glTextureStorage3D"))(lut, 1, GL_RGBA32F,
                                                                             EDGE, EDGE, EDGE);
  reinterpret_cast<decltype(&glTextureSubImage3D)>(get("glTextureSubImage3D"))(
      lut, 0, 0, 0, 0, EDGE, EDGE, EDGE, GL_RGBA, GL_FLOAT, rgba.data());
  qn_test::FullScreenTriangle triangle;
  qn_test::FloatTarget target(SIDE, SIDE, 1);
  const qn::gpu::Unit unit = {0, GL_TEXTURE_3D, lut, 0};  // the sampler uniform defaults to unit 0
  ASSERT_EQ(qn::gpu::draw(target.fbo(), SIDE, SIDE, program, nullptr, 0, &unit, 1, triangle.vao(),
                          GL_TRIANGLES, 3, 0),
            0);
  const std::vector<float> gpu = target.read(0);
  std::vector<float> input;  // the template's ramp
  for (int y = 0; y < SIDE; ++y)
    for (int x = 0; x < SIDE; ++x)
      input.insert(input.end(), {x / 63.0f, y / 63.0f, (7 * x + 13 * y) % SIDE / 63.0f, 1.0f});
  std::vector<float> cpu = input;
  OCIO::PackedImageDesc image(cpu.data(), SIDE, SIDE, 4);
  processor->getDefaultCPUProcessor()->apply(image);
  // Both sides interpolate the same float LUT trilinearly; they differ only in rounding: the
  // shader's division by 63 (GLSL allows 2.5 ulp), the coordinate arithmetic (~1e-6 of a cell)
  // times the grade's steepest slope across a cell (< 4 per unit input), and seven lerps in a
  // different order (a few ulp of values below 1.5). That stays below 1e-5; a wrong axis order,
  // a nearest lookup or an off-by-half-texel coordinate errs by 1e-2 or more.
  double worst = 0, moved = 0;
  for (std::size_t i = 0; i < cpu.size(); ++i) {
    worst = std::max(worst, std::abs(static_cast<double>(gpu[i]) - cpu[i]));
    moved = std::max(moved, std::abs(static_cast<double>(cpu[i]) - input[i]));
  }
  EXPECT_LT(worst, 1e-5);
  EXPECT_GT(moved, 0.3);  // the grade is far from the identity
}

}  // namespace
