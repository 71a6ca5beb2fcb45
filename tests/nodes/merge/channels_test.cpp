#include "quarn/nodes/merge/channels.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "quarn/nodes/merge/operations.h"

namespace {

using namespace qn::nodes::merge;
using T3 = std::tuple<int, int, int>;

std::tuple<std::string, int> ref(const ChannelRef& r) { return {r.layer, r.channel}; }
T3 tie(const Route& r) { return {r.kind, r.input, r.slot}; }

TEST(Channels, ParseTexts) {
  const std::tuple<const char*, const char*, int> common[] = {
      {"alpha", "rgba", 3},  {" rgba ", "rgba", 3},
      {"depth", "depth", 0}, {"myLayer.Blue", "myLayer", 2},
      {"R", "R", 0},         {"a.b.G", "a.b", 1},
      {"l.Y", "l", 1},       {".red", ".red", 0}};
  for (const auto& [text, layer, channel] : common)
    EXPECT_EQ(ref(common_parse_channel(text)), std::tuple(layer, channel)) << text;
  for (const char* none : {"none", "red", ".red", "rgba.q"})
    EXPECT_FALSE(copy_parse_channel(none).has_value()) << none;
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
  EXPECT_EQ(
      std::tuple(channelmerge_op("b if not a"), channelmerge_op("xor"), channelmerge_op("union ")),
      std::tuple(2, 13, -1));
  EXPECT_STREQ(CHANNELMERGE_OPS[6], "max");
}

TEST(Channels, ShuffleSlotsRoutesAndCodes) {
  EXPECT_EQ(std::tuple(shuffle_slot_of("depth.anything", 9), shuffle_slot_of("rgba.w", 0),
                       shuffle_slot_of("rgba.q", 2), shuffle_slot_of("rgba.q", 7),
                       shuffle_slot_of("V", -1)),
            std::tuple(0, 3, 2, -1, 1));
  const std::tuple<const char*, int, T3> cases[] = {
      {"1 rgba.red 1 0 rgba.blue 0 0", 2, {3, 1, 0}},
      {"2 white 0 0 rgba.alpha 1 0", 7, {2, 0, 0}},
      {"1 rgba.q 0 -1 a 0 0", 3, {1, 0, 0}},
      {"+1\t\x1cq 1 +2 q\v0 0_2 q 0 0", 2, {3, 1, 2}},
      {"2 r 0 0 g 0 0 b 1 0 g 0 0", 1, {3, 1, 2}},
      {"2 r 0 0 g x 0 b 1 0 a 1__0 0", -1, {}},
      {"1 black 9 0 g 1 0", 5, {1, 0, 0}},
      {"2 r 0 0 q 1 9 r 0 0 a 1_ 0", -1, {}},  // no target slot; a trailing "_"
      {"1 q 0 x g 0 0", -1, {}},
      {"1 r 1 0 b 0_0 0", 2, {3, 1, 0}},
      // Past the int64 range numbers saturate instead of wrapping to 1 or 2.
      {"1 r 18446744073709551617 0 g 0 0", -1, {}},
      {"1 r 0 0 g 18446744073709551617 0", -1, {}},
      {"1 q 0 -18446744073709551614 g 0 0", 1, {1, 0, 0}},
      {"99999999999999999999 r 1 0 a 1 0", 7, {3, 1, 0}}};
  for (const auto& [spec, index, route] : cases) {
    std::array<Route, 8> routes;
    routes.fill({7, 7, 7});
    ASSERT_TRUE(shuffle_routing(spec, routes));
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(tie(routes[i]), i == index ? route : T3{}) << spec << " @" << i;
  }
  const std::array<Route, 4> routes = {{{3, 1, 2}, {3, 0, 0}, {0, 0, 0}, {2, 0, 0}}};
  EXPECT_EQ(shuffle_codes(routes, false, true, false), (std::array<float, 4>{4, 0, 4, 5}));
  EXPECT_EQ(shuffle_codes(routes, true, false, true), (std::array<float, 4>{8, 4, 10, 5}));
  // A host-made route outside the parser's ranges: a meaningless code, but no overflow.
  constexpr int BIG = std::numeric_limits<int>::max();
  EXPECT_FLOAT_EQ(shuffle_codes({{{3, BIG, BIG}, {1, 1, 1}}}, false, true, true)[0], 7.0f * BIG);
}

// Adversarial texts through every parser: whatever the bytes, the results keep their ranges.
TEST(Channels, AdversarialTextsKeepTheirInvariants) {
  std::mt19937_64 rng(20261206);
  const std::string pieces[] = {".",
                                "-",
                                "+",
                                "_",
                                "1_0",
                                "0",
                                "1",
                                "3",
                                "9223372036854775808",
                                "-9223372036854775809",
                                "18446744073709551617",
                                "red",
                                "A",
                                "z",
                                "depth",
                                "black",
                                "white",
                                "none",
                                "{",
                                "}",
                                " ",
                                "\x1f\t"};
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  for (int round = 0; round < 20000; ++round) {
    std::string s = pick(2) ? std::to_string(pick(4)) + " " : "";
    for (std::size_t i = 0, n = pick(40); i < n; ++i) {
      const std::size_t k = pick(8);
      if (k == 0)
        s += static_cast<char>(rng());  // any byte value
      else if (k == 1)
        s += std::string(1 + pick(40), static_cast<char>('0' + pick(10)));
      else
        s += pieces[pick(std::size(pieces))];
    }
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
    for (const Route& r : routes) {
      const bool valid = r.kind == 3 ? r.input >= 0 && r.input <= 1 && r.slot >= 0 && r.slot <= 3
                                     : r.kind >= 0 && r.kind <= 2 && r.input == 0 && r.slot == 0;
      EXPECT_TRUE(valid) << r.kind << " " << r.input << " " << r.slot;
    }
  }
}

}  // namespace
