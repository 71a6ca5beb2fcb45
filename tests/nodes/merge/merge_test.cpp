#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <tuple>

#include "quarn/nodes/merge/channels.h"
#include "quarn/nodes/merge/operations.h"
#include "quarn/nodes/merge/pickers.h"

namespace {

using namespace qn::nodes::merge;
using T3 = std::tuple<int, int, int>;
using F4 = std::array<float, 4>;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN(),
                 INF = std::numeric_limits<double>::infinity();
constexpr int IMAX = std::numeric_limits<int>::max();
std::tuple<std::string, int> ref(const ChannelRef& r) { return {r.layer, r.channel}; }

TEST(Merge, StripAndOperations) {
  for (int c = 0; c < 256; ++c) {
    const bool space = c == 32 || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
    const std::string text = std::string(1, static_cast<char>(c)) + "x" + static_cast<char>(c);
    EXPECT_EQ(strip(text), space ? "x" : text) << c;
  }
  EXPECT_EQ(std::tuple(strip("\t \x1f"), strip(" a b "), is_ascii("\x7f"), is_ascii("a\x80")),
            std::tuple("", "a b", true, false));
  const std::set<int> no_masking = {0, 4, 5, 7, 14, 15, 16, 21, 22, 27, 28, 29};
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(merge_op_index(OPERATIONS[i]), i);
    EXPECT_EQ(merge_alpha_masking(OPERATIONS[i], true), !no_masking.count(i)) << OPERATIONS[i];
    EXPECT_FALSE(merge_alpha_masking(OPERATIONS[i], false));
  }
  for (const char* unknown : {"Over", " over", "overlay2"})
    EXPECT_EQ(std::tuple(merge_op_index(unknown), merge_alpha_masking(unknown, true)),
              std::tuple(22, true));
  const std::tuple<const char*, bool, const char*, F4> outputs[] = {
      {" alpha\t", false, "rgba", {0, 0, 0, 1}}, {"", false, "rgba", {1, 1, 1, 1}},
      {"none", true, "", {1, 1, 1, 1}},          {"rgb", false, "rgba", {1, 1, 1, 0}},
      {"RGB", false, "RGB", {1, 1, 1, 1}},       {" None ", false, "None", {1, 1, 1, 1}}};
  for (const auto& [text, none, layer, mask] : outputs) {
    const MergeOutput out = merge_output(text);
    EXPECT_EQ(std::tuple(out.none, out.layer, out.mask), std::tuple(none, layer, mask)) << text;
  }
  const MergeSetup s = merge_setup(" plus", " \t", "", " rgb ", " rgba.alpha ", 0.25, true, true);
  EXPECT_EQ(std::tuple(s.a, s.b, s.aux, s.output.mask, s.op, s.alpha_masking, s.extra_flag, s.mix),
            std::tuple("none", "none", "rgba.alpha", F4{1, 1, 1, 0}, 22.0f, 1.0f, 1.0f, 0.25));
  const MergeSetup t = merge_setup("stencil", " a ", "b", "none", "", 1, true, false);
  EXPECT_EQ(std::tuple(t.a, t.b, t.output.none, t.op, t.alpha_masking, t.extra_flag),
            std::tuple("a", "b", true, 27.0f, 0.0f, 0.0f));
  EXPECT_EQ(merge_setup("plus", "", "", "", "", 1, false, false).alpha_masking, 0.0f);
}

TEST(Merge, Pickers) {
  const std::tuple<double, int, int, int, double> dissolve[] = {
      {1.25, 3, 1, 2, 0.25},
      {-1, 3, 0, 1, 0},
      {0.5, 1, 0, 0, 0},
      {NaN, 3, 0, 1, 0},
      {2, 3, 2, 2, 0},
      {1e300, IMAX, IMAX - 1, IMAX - 1, 0},
      {2147483645.5, IMAX, IMAX - 2, IMAX - 1, 0.5}};
  for (const auto& [t, count, lo, hi, frac] : dissolve) {
    const DissolvePick p = dissolve_pick(t, count);
    EXPECT_EQ(std::tuple(p.lo, p.hi, p.frac), std::tuple(lo, hi, frac)) << t << " " << count;
  }
  const std::tuple<double, int, int> pick[] = {
      {2.9, 5, 2},  {7, 5, 4},     {-0.5, 5, 0},  {3, 0, 0}, {NaN, 5, 0}, {INF, 5, 0},
      {-INF, 5, 0}, {1e300, 5, 4}, {0.999, 5, 0}, {1, 5, 1}, {4, 5, 4},   {1e10, IMAX, IMAX - 1}};
  for (const auto& [which, count, index] : pick)
    EXPECT_EQ(switch_index(which, count), index) << which << " " << count;
  const std::tuple<const char*, F4> colors[] = {{"alpha", {0, 0, 0, 0.5f}},
                                                {"rgb", {0.5f, 0.5f, 0.5f, 0}},
                                                {"none", {0, 0, 0, 0}},
                                                {" rgb", {0.5f, 0.5f, 0.5f, 0.5f}}};
  for (const auto& [channels, expected] : colors)
    EXPECT_EQ(constant_color({0.5, 0.5, 0.5, 0.5}, channels), expected) << channels;
  const auto c = constant_color({1e300, NaN, 0.1, 1}, "rgb");  // narrowed after masking
  EXPECT_TRUE(c[0] == INF && std::isnan(c[1]) && c[2] == 0.1f && c[3] == 0);
}

TEST(Merge, ChannelTexts) {
  const std::tuple<const char*, const char*, int> common[] = {
      {"alpha", "rgba", 3},  {" rgba ", "rgba", 3},
      {"depth", "depth", 0}, {"myLayer.Blue", "myLayer", 2},
      {"R", "R", 0},         {"a.b.G", "a.b", 1},
      {"l.Y", "l", 1},       {".red", ".red", 0}};
  for (const auto& [text, layer, channel] : common)
    EXPECT_EQ(ref(common_parse_channel(text)), std::tuple(layer, channel)) << text;
  for (const char* none : {"none", "red", ".red", "rgba.q"}) EXPECT_FALSE(copy_parse_channel(none));
  EXPECT_EQ(ref(copy_parse_channel(" l.x.ALPHA\n").value()), std::tuple("l.x", 3));
  const std::tuple<const char*, const char*, int> split[] = {{"-rgba.alpha", "rgba", -1},
                                                             {"{rgba.green rgba.blue}", "rgba", 1},
                                                             {"", "rgba", -1},
                                                             {"depth.z", "depth", 0},
                                                             {"}{ none }", "rgba", -1},
                                                             {".alpha", "rgba", 0},
                                                             {"x.B", "x", 2}};
  for (const auto& [text, layer, channel] : split)
    EXPECT_EQ(ref(channelmerge_split(text)), std::tuple(layer, channel)) << text;
  EXPECT_EQ(std::tuple(channelmerge_op("b if not a"), channelmerge_op("xor"),
                       channelmerge_op("union "), std::string(CHANNELMERGE_OPS[6])),
            std::tuple(2, 13, -1, "max"));
  EXPECT_EQ(std::tuple(shuffle_slot_of("depth.anything", 9), shuffle_slot_of("rgba.w", 0),
                       shuffle_slot_of("rgba.q", 2), shuffle_slot_of("rgba.q", 7),
                       shuffle_slot_of("V", -1)),
            std::tuple(0, 3, 2, -1, 1));
}

TEST(Merge, ShuffleRoutesAndCodes) {
  const std::tuple<const char*, int, T3> cases[] = {
      // the one route set, or none (-1)
      {"1 rgba.red 1 0 rgba.blue 0 0", 2, {3, 1, 0}},
      {"2 white 0 0 rgba.alpha 1 0", 7, {2, 0, 0}},
      {"1 rgba.q 0 -1 a 0 0", 3, {1, 0, 0}},
      {"+1\t\x1cq 1 +2 q\v0 0_2 q 0 0", 2, {3, 1, 2}},
      {"2 r 0 0 g 0 0 b 1 0 g 0 0", 1, {3, 1, 2}},
      {"2 r 0 0 g x 0 b 1 0 a 1__0 0", -1, {}},
      {"1 black 9 0 g 1 0", 5, {1, 0, 0}},
      {"2 r 0 0 q 1 9 r 0 0 a 1_ 0", -1, {}},
      {"1 q 0 x g 0 0", -1, {}},
      {"1 r 1 0 b 0_0 0", 2, {3, 1, 0}},
      {"1 r 18446744073709551617 0 g 0 0", -1, {}},  // numbers saturate, never wrap
      {"1 r 0 0 g 18446744073709551617 0", -1, {}},
      {"1 q 0 -18446744073709551614 g 0 0", 1, {1, 0, 0}},
      {"99999999999999999999 r 1 0 a 1 0", 7, {3, 1, 0}}};
  for (const auto& [spec, index, route] : cases) {
    std::array<Route, 8> routes, want{};
    routes.fill({7, 7, 7});
    if (index >= 0) want[index] = {std::get<0>(route), std::get<1>(route), std::get<2>(route)};
    ASSERT_TRUE(shuffle_routing(spec, routes));
    EXPECT_EQ(std::memcmp(&routes, &want, sizeof routes), 0) << spec;
  }
  const std::array<Route, 4> routes = {{{3, 1, 2}, {3, 0, 0}, {0, 0, 0}, {2, 0, 0}}};
  EXPECT_EQ(shuffle_codes(routes, false, true, false), (F4{4, 0, 4, 5}));
  EXPECT_EQ(shuffle_codes(routes, true, false, true), (F4{8, 4, 10, 5}));
  EXPECT_FLOAT_EQ(shuffle_codes({{{3, IMAX, IMAX}, {1, 1, 1}}}, false, true, true)[0], 7.0f * IMAX);
}

TEST(Merge, AdversarialTextsKeepTheirRanges) {
  std::mt19937_64 rng(20261206);
  // Fragments of the tokens the parsers know, any bytes, and long runs of digits.
  const std::string_view words = ".-+_1_0 3 red A z depth black white none {} \x1f\t ";
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  for (int round = 0; round < 20000; ++round) {
    std::string s = pick(2) ? std::to_string(pick(4)) + " " : "";
    for (std::size_t i = 0, n = pick(40), k; i < n; ++i)
      s += (k = pick(8)) == 0 ? std::string(1, static_cast<char>(rng()))
           : k == 1           ? std::string(1 + pick(40), static_cast<char>('0' + pick(10)))
           : k == 2           ? std::string(pick(2) ? "-" : "") + std::to_string(rng())
                              : std::string(words.substr(pick(words.size()), 1 + pick(7)));
    SCOPED_TRACE(testing::PrintToString(s));
    const std::string_view t = strip(s);
    EXPECT_TRUE(t.empty() || (t.data() >= s.data() && !is_space(t.front()) && !is_space(t.back())));
    EXPECT_LE(static_cast<unsigned>(common_parse_channel(s).channel), 3u);
    if (const auto copy = copy_parse_channel(s)) {
      EXPECT_TRUE(!copy->layer.empty() && copy->channel >= 0 && copy->channel <= 3);
    }
    const ChannelRef split = channelmerge_split(s);
    EXPECT_TRUE(!split.layer.empty() && split.channel >= -1 && split.channel <= 3);
    const int slot = shuffle_slot_of(s, static_cast<long long>(rng()));
    EXPECT_TRUE(slot >= -1 && slot <= 3);
    std::array<Route, 8> routes;
    ASSERT_TRUE(shuffle_routing(s, routes));
    for (const Route& r : routes)
      EXPECT_TRUE(r.kind == 3 ? r.input >= 0 && r.input <= 1 && r.slot >= 0 && r.slot <= 3
                              : r.kind >= 0 && r.kind <= 2 && r.input == 0 && r.slot == 0)
          << r.kind << " " << r.input << " " << r.slot;
  }
}

}  // namespace
