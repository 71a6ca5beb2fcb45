#include "quarn/nodes/merge/operations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

namespace {

using namespace qn::nodes::merge;
using testing::ElementsAre;

TEST(Strip, RemovesExactlyTheFamilysWhitespace) {
  for (int c = 0; c < 256; ++c) {
    const bool space = c == 32 || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
    const std::string text = std::string(1, static_cast<char>(c)) + "x" + static_cast<char>(c);
    EXPECT_EQ(strip(text), space ? "x" : text) << c;
  }
  EXPECT_EQ(strip("\t  \t "), "");
  EXPECT_EQ(strip("\x1frgba\x1c"), "rgba");
  EXPECT_EQ(strip(" a b "), "a b");
  EXPECT_TRUE(is_ascii(""));
  EXPECT_TRUE(is_ascii("\x7f"));
  EXPECT_FALSE(is_ascii("ab\x80"));
}

TEST(MergeOps, IndexAndAlphaMaskingFollowTheTable) {
  ASSERT_EQ(OPERATIONS.size(), 30u);
  // The twelve operations that ignore alpha masking, by index.
  const std::set<int> no_masking = {0, 4, 5, 7, 14, 15, 16, 21, 22, 27, 28, 29};
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(merge_op_index(OPERATIONS[i]), i);
    EXPECT_EQ(merge_alpha_masking(OPERATIONS[i], true), !no_masking.count(i)) << OPERATIONS[i];
    EXPECT_FALSE(merge_alpha_masking(OPERATIONS[i], false));
  }
  EXPECT_STREQ(OPERATIONS[0], "atop");
  EXPECT_STREQ(OPERATIONS[22], "over");
  EXPECT_STREQ(OPERATIONS[29], "xor");
  for (const char* unknown : {"Over", " over", "", "over ", "overlay2"}) {
    EXPECT_EQ(merge_op_index(unknown), 22) << unknown;
    EXPECT_TRUE(merge_alpha_masking(unknown, true)) << unknown;
  }
}

TEST(MergeOps, OutputTexts) {
  const std::tuple<const char*, bool, const char*, std::array<float, 4>> cases[] = {
      {" alpha\t", false, "rgba", {0, 0, 0, 1}}, {"", false, "rgba", {1, 1, 1, 1}},
      {"none", true, "", {1, 1, 1, 1}},          {"depth", false, "depth", {1, 1, 1, 1}},
      {"rgb", false, "rgba", {1, 1, 1, 0}},      {"RGB", false, "RGB", {1, 1, 1, 1}},
      {"rgba", false, "rgba", {1, 1, 1, 1}},     {" None ", false, "None", {1, 1, 1, 1}}};
  for (const auto& [text, none, layer, mask] : cases) {
    const MergeOutput out = merge_output(text);
    EXPECT_EQ(std::tuple(out.none, out.layer, out.mask), std::tuple(none, layer, mask)) << text;
  }
}

TEST(MergeOps, SetupTrimsChannelsButNotTheOperation) {
  const MergeSetup s = merge_setup(" plus", " \t", "", " rgb ", " rgba.alpha ", 0.25, true, true);
  EXPECT_EQ(std::tuple(s.a, s.b, s.aux, s.output.layer, s.op, s.alpha_masking, s.extra_flag, s.mix),
            std::tuple("none", "none", "rgba.alpha", "rgba", 22.0f, 1.0f, 1.0f, 0.25));
  EXPECT_THAT(s.output.mask, ElementsAre(1, 1, 1, 0));
  const MergeSetup t = merge_setup("stencil", " a ", "b", "none", "", 1, true, false);
  EXPECT_EQ(std::tuple(t.a, t.b, t.aux, t.output.none, t.op, t.alpha_masking, t.extra_flag),
            std::tuple("a", "b", "", true, 27.0f, 0.0f, 0.0f));
  EXPECT_EQ(merge_setup("plus", "", "", "", "", 1, false, false).alpha_masking, 0.0f);
}

}  // namespace
