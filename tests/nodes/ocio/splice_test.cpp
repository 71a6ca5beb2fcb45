#include "quarn/nodes/ocio/splice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace qn::nodes::ocio;
using testing::ElementsAreArray;

TEST(Splice, FragmentReplacesEveryMarkerLine) {
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
}

TEST(Splice, PatchRewritesOnlyExactLookups) {
  const std::tuple<std::string, std::string, std::string, bool> cases[] = {
      {"a = texture(lut, uv); b = texture(lut, uv);", "lut",
       "a = qn_lut3d_trilinear(lut, uv); b = qn_lut3d_trilinear(lut, uv);", true},
      {"texture(lut, uv)", "lu", "texture(lut, uv)", false},
      {"texture(lut,uv) texture( lut, uv)", "lut", "texture(lut,uv) texture( lut, uv)", false},
      {"texture(, x) texture(s, x)", "", "qn_lut3d_trilinear(, x) texture(s, x)", true},
      {"texture(l, texture(l, c))", "l", "qn_lut3d_trilinear(l, qn_lut3d_trilinear(l, c))", true},
      {"xtexture(lut, c)", "lut", "xqn_lut3d_trilinear(lut, c)", true},
      {"", "lut", "", false}};
  for (auto [src, sampler, expected, changed] : cases) {
    EXPECT_EQ(patch_lut3d(src, sampler), changed) << expected;
    EXPECT_EQ(src, expected);
  }
}

TEST(Splice, RgbToRgbaAddsOpaqueAlpha) {
  for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 9u}) {
    std::vector<float> rgb(3 * n), rgba(4 * n + 1, -1.0f), expected;
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = 0.5f / static_cast<float>(i + 1);
    for (std::size_t i = 0; i < n; ++i)
      expected.insert(expected.end(), {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], 1.0f});
    expected.push_back(-1.0f);  // nothing written past the end
    rgb_to_rgba(rgb.data(), n, rgba.data());
    EXPECT_THAT(rgba, ElementsAreArray(expected)) << n;
  }
}

}  // namespace
