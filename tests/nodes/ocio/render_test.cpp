// OpenColorIO's own GLSL for a 3D LUT, spliced into a host template and patched to the
// template's trilinear lookup, compiled and drawn on real GL, against OpenColorIO's CPU result.
#include <OpenColorIO/OpenColorIO.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "quarn/gpu/draw.h"
#include "quarn/nodes/ocio/splice.h"
#include "support/gl_fixture.h"
#include "support/gl_texture3d.h"
#include "support/temp_dir.h"

namespace OCIO = OCIO_NAMESPACE;
namespace ocio = qn::nodes::ocio;
using qn_test::gl;

namespace {

constexpr int SIDE = 64;  // the ramp: one input colour per pixel of a 64 x 64 target
constexpr int EDGE = 17;  // the LUT's edge

// A smooth, channel-mixing, far-from-identity grade, written as a .cube file (red fastest).
void write_cube(const std::string& path) {
  std::ofstream out(path);
  out << "LUT_3D_SIZE " << EDGE << "\n";
  for (int b = 0; b < EDGE; ++b)
    for (int g = 0; g < EDGE; ++g)
      for (int r = 0; r < EDGE; ++r) {
        const double R = r / (EDGE - 1.0), G = g / (EDGE - 1.0), B = b / (EDGE - 1.0);
        out << std::pow(R, 2.2) * 0.8 + 0.2 * B << " " << std::sqrt(G) * (0.5 + 0.5 * R) << " "
            << 0.5 + 0.5 * std::sin(6 * B + 3 * G) << "\n";
      }
}

// The host's template: the trilinear lookup on texel centres (so the LUT texture needs no
// filtering), the marker where OpenColorIO's function goes, and a main that runs the ramp.
const char* const TEMPLATE = R"(#version 450 core
layout(location = 0) out vec4 color;

vec4 qn_lut3d_trilinear(sampler3D lut, vec3 coord) {
  ivec3 size = textureSize(lut, 0);
  vec3 p = clamp(coord * vec3(size) - 0.5, vec3(0.0), vec3(size - 1));
  ivec3 i = ivec3(floor(p));
  ivec3 j = min(i + 1, size - 1);
  vec3 f = p - vec3(i);
  vec4 c00 = mix(texelFetch(lut, i, 0), texelFetch(lut, ivec3(j.x, i.y, i.z), 0), f.x);
  vec4 c10 = mix(texelFetch(lut, ivec3(i.x, j.y, i.z), 0), texelFetch(lut, ivec3(j.x, j.y, i.z), 0), f.x);
  vec4 c01 = mix(texelFetch(lut, ivec3(i.x, i.y, j.z), 0), texelFetch(lut, ivec3(j.x, i.y, j.z), 0), f.x);
  vec4 c11 = mix(texelFetch(lut, ivec3(i.x, j.y, j.z), 0), texelFetch(lut, j, 0), f.x);
  return mix(mix(c00, c10, f.y), mix(c01, c11, f.y), f.z);
}
//@OCIO
void main() {
  ivec2 px = ivec2(gl_FragCoord.xy);
  vec3 rgb = vec3(px.x, px.y, (7 * px.x + 13 * px.y) % 64) / 63.0;
  color = OCIOMain(vec4(rgb, 1.0));
}
)";

class OcioRender : public qn_test::GlTest {};

TEST_F(OcioRender, SplicedShaderMatchesTheCpuProcessor) {
  qn_test::TempDir dir;
  const std::string cube = dir.file("grade.cube");
  write_cube(cube);
  const auto config = OCIO::Config::CreateRaw();
  const auto transform = OCIO::FileTransform::Create();
  transform->setSrc(cube.c_str());
  transform->setInterpolation(OCIO::INTERP_LINEAR);
  const auto processor = config->getProcessor(transform);

  auto desc = OCIO::GpuShaderDesc::CreateShaderDesc();
  desc->setLanguage(OCIO::GPU_LANGUAGE_GLSL_4_0);
  desc->setFunctionName("OCIOMain");
  desc->setResourcePrefix("ocio_");
  processor->getDefaultGPUProcessor()->extractGpuShaderInfo(desc);
  ASSERT_EQ(desc->getNum3DTextures(), 1u);
  ASSERT_EQ(desc->getNumTextures() + desc->getNumUniforms(), 0u);
  const char *texture_name = nullptr, *sampler = nullptr;
  unsigned edge = 0;
  OCIO::Interpolation interpolation{};
  desc->get3DTexture(0, texture_name, sampler, edge, interpolation);
  ASSERT_EQ(edge, static_cast<unsigned>(EDGE));

  // The library's part: splice, patch the lookups, widen the LUT.
  std::string fragment = desc->getShaderText();
  ASSERT_NE(fragment.find(std::string("texture(") + sampler + ", "), std::string::npos);
  ASSERT_TRUE(ocio::patch_lut3d(fragment, sampler));
  EXPECT_EQ(fragment.find(std::string("texture(") + sampler), std::string::npos);
  const std::string source = ocio::splice(TEMPLATE, fragment);
  ASSERT_EQ(source.find("//@OCIO"), std::string::npos);
  const float* rgb = nullptr;
  desc->get3DTextureValues(0, rgb);
  std::vector<float> rgba(4u * EDGE * EDGE * EDGE);
  ocio::rgb_to_rgba(rgb, rgba.size() / 4, rgba.data());

  std::string log;
  const GLuint program =
      qn_test::link_program(qn_test::FULL_SCREEN_VERTEX_SHADER, source.c_str(), &log);
  ASSERT_NE(program, 0u) << log << "\n" << source;
  const GLuint lut = qn_test::rgba_texture_3d(EDGE, rgba.data());
  ASSERT_NE(lut, 0u);
  qn_test::FullScreenTriangle triangle;
  qn_test::FloatTarget target(SIDE, SIDE, 1);
  target.clear({-1, -1, -1, -1});
  const qn::gpu::Unit unit = {0, GL_TEXTURE_3D, lut, 0};  // the sampler uniform defaults to unit 0
  ASSERT_EQ(qn::gpu::draw(target.fbo(), SIDE, SIDE, program, nullptr, 0, &unit, 1, triangle.vao(),
                          GL_TRIANGLES, 3, 0),
            0);
  const std::vector<float> gpu = target.read(0);

  // The ramp of the template's main: red along x, green along y, blue from both.
  std::vector<float> cpu;
  for (int y = 0; y < SIDE; ++y)
    for (int x = 0; x < SIDE; ++x)
      cpu.insert(cpu.end(), {x / 63.0f, y / 63.0f, (7 * x + 13 * y) % SIDE / 63.0f, 1.0f});
  const std::vector<float> input = cpu;
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
