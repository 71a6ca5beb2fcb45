#include "quarn/nodes/merge/channels.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quarn/nodes/merge/operations.h"

namespace {

using namespace qn::nodes::merge;
using Routes = std::array<Route, 8>;

std::tuple<std::string, int> ref(const ChannelRef& r) { return {r.layer, r.channel}; }
std::tuple<int, int, int> tie(const Route& r) { return {r.kind, r.input, r.slot}; }

TEST(Channels, ParseTexts) {
  const std::tuple<const char*, const char*, int> common[] = {
      {"alpha", "rgba", 3},    {" rgba ", "rgba", 3},
      {"depth", "depth", 0},   {"myLayer.Blue", "myLayer", 2},
      {"R", "R", 0},           {"z", "rgba", 0},
      {"a.b.G", "a.b", 1},     {".red", ".red", 0},
      {"rgba.q", "rgba.q", 0}, {"", "", 0}};
  for (const auto& [text, layer, channel] : common)
    EXPECT_EQ(ref(common_parse_channel(text)), std::tuple(layer, channel)) << text;

  for (const char* none : {"none", "red", ".red", "", "rgba.q", " rgba. "})
    EXPECT_EQ(copy_parse_channel(none), std::nullopt) << none;
  EXPECT_EQ(ref(copy_parse_channel(" rgba.red\n").value()), std::tuple("rgba", 0));
  EXPECT_EQ(ref(copy_parse_channel("l.x.ALPHA").value()), std::tuple("l.x", 3));

  const std::tuple<const char*, const char*, int> split[] = {{"-rgba.alpha", "rgba", -1},
                                                             {"{rgba.green rgba.blue}", "rgba", 1},
                                                             {"", "rgba", -1},
                                                             {"depth.z", "depth", 0},
                                                             {"}{ none }", "rgba", -1},
                                                             {"--x.b", "x", -1},
                                                             {"blue", "rgba", 2},
                                                             {"x.B", "x", 2},
                                                             {".alpha", "rgba", 0},
                                                             {"-", "rgba", -1},
                                                             {"l.RED", "l", 0}};
  for (const auto& [text, layer, channel] : split)
    EXPECT_EQ(ref(channelmerge_split(text)), std::tuple(layer, channel)) << text;

  ASSERT_EQ(CHANNELMERGE_OPS.size(), 14u);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(channelmerge_op(CHANNELMERGE_OPS[i]), i);
  EXPECT_EQ(channelmerge_op("b if not a"), 2);
  EXPECT_EQ(channelmerge_op("xor"), 13);
  EXPECT_EQ(channelmerge_op("union "), -1);
  EXPECT_EQ(channelmerge_op("Union"), -1);
}

TEST(Channels, ShuffleSlots) {
  const std::tuple<const char*, long long, int> cases[] = {
      {"depth.anything", 9, 0},
      {"Z.q", -1, 0},
      {"rgba.w", 0, 3},
      {"rgba.q", 2, 2},
      {"rgba.q", 7, -1},
      {"rgba.q", -1, -1},
      {"V", 0, 1},
      {"rgba.Z", 0, 2},
      {"z", 3, 2},
      {"x.y.u", 3, 0},
      {"", 4, -1},
      {"q", std::numeric_limits<long long>::min(), -1}};
  for (const auto& [name, fallback, slot] : cases)
    EXPECT_EQ(shuffle_slot_of(name, fallback), slot) << name << " " << fallback;
}

TEST(Channels, ShuffleRoutingRecords) {
  const std::tuple<const char*, int, std::tuple<int, int, int>> cases[] = {
      {"1 rgba.red 1 0 rgba.blue 0 0", 2, {3, 1, 0}},
      {"2 white 0 0 rgba.alpha 1 0", 7, {2, 0, 0}},
      {"1 black 9 0 g 1 0", 5, {1, 0, 0}},
      {"1 rgba.q 0 -1 a 0 0", 3, {1, 0, 0}},          // unknown source channel: black
      {"1 rgba.q 0 1_2 q 0 2", 2, {1, 0, 0}},         // fallback 12 is no slot
      {"+1\t\x1crgba.q 1 +2 q\v0 1", 1, {3, 1, 2}},   // separators, signs, fallbacks
      {"2 r 0 0 g 0 0 b 1 0 g 0 0", 1, {3, 1, 2}},    // the later record wins
      {"3 r 0 0 g x 0 b 1 0 a 1_0 0", 1, {0, 0, 0}},  // non-numbers are skipped
      // Numbers past the int64 range saturate instead of wrapping to 1 or 2.
      {"1 r 18446744073709551617 0 g 0 0", 1, {0, 0, 0}},
      {"1 r 0 0 g 18446744073709551617 0", 5, {0, 0, 0}},
      {"1 q 0 18446744073709551618 g 0 0", 1, {1, 0, 0}},
      {"99999999999999999999 r 1 0 a 1 0", 7, {3, 1, 0}}};
  for (const auto& [spec, index, route] : cases) {
    Routes routes;
    routes.fill({7, 7, 7});
    ASSERT_TRUE(shuffle_routing(spec, routes));
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(tie(routes[i]), i == index ? route : std::tuple(0, 0, 0)) << spec << " @" << i;
  }
  for (const char* nothing : {"", "0 r 0 0 g 0 0", "-1 r 0 0 g 0 0", "x", "1_ r 0 0 g 0 0",
                              "- r 0 0 g 0 0", "1 r 0 0 g 0"}) {
    Routes routes;
    routes.fill({7, 7, 7});
    ASSERT_TRUE(shuffle_routing(nothing, routes));
    for (const Route& r : routes) EXPECT_EQ(tie(r), std::tuple(0, 0, 0)) << nothing;
  }
}

TEST(Channels, ShuffleCodes) {
  const std::array<Route, 4> routes = {{{3, 1, 2}, {3, 0, 0}, {0, 0, 0}, {2, 0, 0}}};
  EXPECT_EQ(shuffle_codes(routes, false, true, false), (std::array<float, 4>{4, 0, 4, 5}));
  EXPECT_EQ(shuffle_codes(routes, true, true, true), (std::array<float, 4>{8, 0, 10, 5}));
  const std::array<Route, 4> odd = {{{1, 1, 3}, {9, 0, 0}, {3, 0, 3}, {3, 1, 3}}};
  EXPECT_EQ(shuffle_codes(odd, false, false, true), (std::array<float, 4>{4, 5, 4, 9}));
  // Host-made routes outside the parser's ranges: no overflow, just a meaningless code.
  constexpr int BIG = std::numeric_limits<int>::max();
  const std::array<Route, 4> wild = {{{3, BIG, BIG}, {3, -BIG, 0}, {3, 1, -BIG}, {0, 0, 0}}};
  const auto codes = shuffle_codes(wild, false, true, true);
  EXPECT_FLOAT_EQ(codes[0], 7.0 * BIG);
  EXPECT_FLOAT_EQ(codes[1], -6.0 * BIG);
}

// ---------------------------------------------------------------------------------------------
// Adversarial texts through every parser, against a model of the integer tokens.

// The token's value with big-integer arithmetic, clamped to int64; nullopt when not a number.
std::optional<long long> model_integer(std::string t) {
  const bool negative = !t.empty() && t[0] == '-';
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.erase(0, 1);
  if (t.empty() || t.front() == '_' || t.back() == '_' || t.find("__") != std::string::npos)
    return std::nullopt;
  __int128 v = 0;
  for (char c : t) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return std::nullopt;
    v = std::min<__int128>(v * 10 + (c - '0'), (__int128)1 << 64);
  }
  if (negative) v = -v;
  return static_cast<long long>(std::clamp<__int128>(v, std::numeric_limits<long long>::min(),
                                                     std::numeric_limits<long long>::max()));
}

std::vector<std::string> model_tokens(std::string_view s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (is_space(static_cast<unsigned char>(c))) {
      if (!cur.empty()) out.push_back(cur), cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

Routes model_routing(std::string_view spec) {
  Routes r{};
  const auto t = model_tokens(spec);
  const auto n = t.empty() ? std::nullopt : model_integer(t[0]);
  if (!n || *n <= 0) return r;
  for (std::size_t k = 0; k < static_cast<std::size_t>(std::min<long long>(*n, 1000)); ++k) {
    const std::size_t p = 1 + 6 * k;
    if (p + 6 > t.size()) break;
    const auto in = model_integer(t[p + 1]), sf = model_integer(t[p + 2]),
               out = model_integer(t[p + 4]), tf = model_integer(t[p + 5]);
    if (!in || !sf || !out || !tf || (*out != 0 && *out != 1)) continue;
    const int target = shuffle_slot_of(t[p + 3], *tf);
    if (target < 0) continue;
    Route& route = r[target + 4 * *out];
    if (t[p] == "black")
      route = {1, 0, 0};
    else if (t[p] == "white")
      route = {2, 0, 0};
    else if (*in == 0 || *in == 1) {
      const int s = shuffle_slot_of(t[p], *sf);
      route = s >= 0 ? Route{3, static_cast<int>(*in), s} : Route{1, 0, 0};
    }
  }
  return r;
}

TEST(Channels, AdversarialTextsKeepTheirInvariants) {
  std::mt19937_64 rng(20261206);
  const std::vector<std::string> pieces = {".",
                                           "..",
                                           "-",
                                           "+",
                                           "_",
                                           "__",
                                           "0",
                                           "1",
                                           "2",
                                           "3",
                                           "00",
                                           "1_0",
                                           "9223372036854775807",
                                           "9223372036854775808",
                                           "-9223372036854775808",
                                           "-9223372036854775809",
                                           "18446744073709551617",
                                           "340282366920938463463374607431768211457",
                                           "red",
                                           "A",
                                           "rgba",
                                           "depth",
                                           "z",
                                           "black",
                                           "white",
                                           "none",
                                           "{",
                                           "}",
                                           "\xff",
                                           std::string(1, '\0')};
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto token = [&] {
    std::string s;
    for (std::size_t i = 0, n = 1 + pick(3); i < n; ++i) {
      if (pick(4) == 0)
        s += static_cast<char>(rng());  // any byte value
      else if (pick(6) == 0)
        s += std::string(1 + pick(40), static_cast<char>('0' + pick(10)));
      else
        s += pieces[pick(pieces.size())];
    }
    return s;
  };
  const char* spaces[] = {" ", "\t", "\x1f", "  \n", "\x0b\x0c"};
  for (int round = 0; round < 20000; ++round) {
    std::string spec = pick(2) ? std::to_string(pick(5)) : token();
    for (std::size_t i = 0, n = pick(20); i < n; ++i)
      spec += spaces[pick(5)] + (pick(3) ? token() : std::to_string(pick(3)));
    SCOPED_TRACE(testing::PrintToString(spec));

    const std::string_view stripped = strip(spec);
    ASSERT_TRUE(stripped.empty() ||
                (stripped.data() >= spec.data() &&
                 stripped.data() + stripped.size() <= spec.data() + spec.size()));
    if (!stripped.empty()) {
      EXPECT_FALSE(is_space(stripped.front()) || is_space(stripped.back()));
    }
    const ChannelRef common = common_parse_channel(spec);
    EXPECT_TRUE(common.channel >= 0 && common.channel <= 3);
    if (const auto copy = copy_parse_channel(spec)) {
      EXPECT_TRUE(!copy->layer.empty() && copy->channel >= 0 && copy->channel <= 3);
    }
    const ChannelRef split = channelmerge_split(spec);
    EXPECT_TRUE(!split.layer.empty() && split.channel >= -1 && split.channel <= 3);
    const long long fallback = static_cast<long long>(rng());
    const int slot = shuffle_slot_of(spec, fallback);
    EXPECT_TRUE(slot >= -1 && slot <= 3);

    Routes routes;
    ASSERT_TRUE(shuffle_routing(spec, routes));
    const Routes expected = model_routing(spec);
    for (int i = 0; i < 8; ++i) {
      const Route& r = routes[i];
      EXPECT_EQ(tie(r), tie(expected[i])) << i;
      EXPECT_TRUE(r.kind >= 0 && r.kind <= 3 && r.input >= 0 && r.input <= 1 && r.slot >= 0 &&
                  r.slot <= 3);
      if (r.kind != 3) {
        EXPECT_EQ(std::tuple(r.input, r.slot), std::tuple(0, 0));
      }
    }
  }
}

}  // namespace
