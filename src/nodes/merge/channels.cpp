#include "quarn/nodes/merge/channels.h"

#include <cstdint>
#include <limits>

#include "nodes/merge/names.h"
#include "quarn/nodes/merge/operations.h"

namespace qn::nodes::merge {

const std::array<const char*, 14> CHANNELMERGE_OPS = {
    "union", "absminus", "b if not a", "divide", "from", "in",      "max",
    "min",   "minus",    "multiply",   "out",    "plus", "stencil", "xor"};

namespace {

constexpr int NONE = -1;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive (A to Z only) equality with a lower-case word.
bool equals_lower(std::string_view s, std::string_view lower_word) {
  if (s.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (lower(s[i]) != lower_word[i]) return false;
  return true;
}

// Looks `s` up among (word, value) pairs, case-insensitively when asked; NONE when absent.
struct Word {
  std::string_view word;
  int value;
};
template <std::size_t N>
int lookup(std::string_view s, const Word (&table)[N], bool fold_case) {
  for (const Word& w : table)
    if (fold_case ? equals_lower(s, w.word) : s == w.word) return w.value;
  return NONE;
}

constexpr Word CHANNEL_WORDS[] = {{"r", 0},     {"x", 0},    {"z", 0},    {"g", 1},
                                  {"y", 1},     {"b", 2},    {"a", 3},    {"red", 0},
                                  {"green", 1}, {"blue", 2}, {"alpha", 3}};
constexpr Word CHANNELMERGE_WORDS[] = {{"r", 0},     {"g", 1},    {"b", 2},    {"a", 3},
                                       {"green", 1}, {"blue", 2}, {"alpha", 3}};
constexpr Word SHUFFLE_WORDS[] = {{"r", 0},    {"x", 0}, {"u", 0},     {"red", 0},  {"g", 1},
                                  {"y", 1},    {"v", 1}, {"green", 1}, {"b", 2},    {"z", 2},
                                  {"blue", 2}, {"a", 3}, {"w", 3},     {"alpha", 3}};

// Before and after the last dot; `has_dot` false puts the whole text in `suffix`.
struct DotSplit {
  bool has_dot;
  std::string_view prefix, suffix;
};
DotSplit last_dot(std::string_view s) {
  const std::size_t dot = s.rfind('.');
  if (dot == std::string_view::npos) return {false, {}, s};
  return {true, s.substr(0, dot), s.substr(dot + 1)};
}

// Maximal runs of non-whitespace bytes, one at a time.
class Tokens {
 public:
  explicit Tokens(std::string_view s) : s_(s) {}
  bool next(std::string_view& token) {
    while (pos_ < s_.size() && is_space(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    if (pos_ == s_.size()) return false;
    const std::size_t begin = pos_;
    while (pos_ < s_.size() && !is_space(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    token = s_.substr(begin, pos_ - begin);
    return true;
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

// An integer token, saturated to the int64 range; false when the token is not a number.
bool parse_integer(std::string_view t, long long& value) {
  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return false;
  // Accumulated towards the sign's limit so that the most negative value fits exactly.
  constexpr long long MAX = std::numeric_limits<long long>::max();
  constexpr long long MIN = std::numeric_limits<long long>::min();
  long long v = 0;
  bool saturated = false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '_') {
      const bool between_digits =
          i > 0 && i + 1 < t.size() && t[i - 1] != '_' && t[i + 1] >= '0' && t[i + 1] <= '9';
      if (!between_digits) return false;
      continue;
    }
    if (c < '0' || c > '9') return false;
    if (saturated) continue;
    const int d = c - '0';
    if (negative) {
      if (v < (MIN + d) / 10)
        saturated = true, v = MIN;
      else
        v = v * 10 - d;
    } else {
      if (v > (MAX - d) / 10)
        saturated = true, v = MAX;
      else
        v = v * 10 + d;
    }
  }
  value = v;
  return true;
}

}  // namespace

ChannelRef common_parse_channel(std::string_view s) {
  const std::string_view t = strip(s);
  if (const int c = lookup(t, CHANNEL_WORDS, false); c != NONE) return {"rgba", c};
  const DotSplit d = last_dot(t);
  if (!d.prefix.empty())
    if (const int c = lookup(d.suffix, CHANNEL_WORDS, true); c != NONE)
      return {std::string(d.prefix), c};
  return {std::string(t), t == "rgba" ? 3 : 0};
}

std::optional<ChannelRef> copy_parse_channel(std::string_view s) {
  const std::string_view t = strip(s);
  const DotSplit d = last_dot(t);
  if (t == "none" || !d.has_dot || d.prefix.empty()) return std::nullopt;
  const int c = lookup(d.suffix, CHANNEL_WORDS, true);
  if (c == NONE) return std::nullopt;
  return ChannelRef{std::string(d.prefix), c};
}

int channelmerge_op(std::string_view name) { return detail::index_of(CHANNELMERGE_OPS, name); }

ChannelRef channelmerge_split(std::string_view s) {
  std::string_view t = strip(s);
  while (!t.empty() && (t.front() == '{' || t.front() == '}')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == '{' || t.back() == '}')) t.remove_suffix(1);
  std::string_view token;
  if (!Tokens(t).next(token)) token = "none";
  const bool negated = token.front() == '-' || token == "none";
  while (!token.empty() && token.front() == '-') token.remove_prefix(1);
  const DotSplit d = last_dot(token);
  const std::string_view layer = d.prefix.empty() ? std::string_view("rgba") : d.prefix;
  const std::string_view suffix = d.prefix.empty() ? token : d.suffix;
  const int c = lookup(suffix, CHANNELMERGE_WORDS, true);
  return {std::string(layer), negated ? -1 : (c == NONE ? 0 : c)};
}

int shuffle_slot_of(std::string_view name, long long fallback) {
  const DotSplit d = last_dot(name);
  const std::string_view layer = d.has_dot ? d.prefix : std::string_view("rgba");
  if (equals_lower(layer, "depth") || equals_lower(layer, "z")) return 0;
  if (const int c = lookup(d.suffix, SHUFFLE_WORDS, true); c != NONE) return c;
  return fallback >= 0 && fallback <= 3 ? static_cast<int>(fallback) : NONE;
}

bool shuffle_routing(std::string_view spec, std::array<Route, 8>& routes) {
  routes.fill(Route{});
  Tokens tokens(spec);
  std::string_view token;
  long long n = 0;
  if (!tokens.next(token) || !parse_integer(token, n) || n <= 0) return true;
  for (long long k = 0; k < n; ++k) {
    std::string_view t[6];
    for (auto& field : t)
      if (!tokens.next(field)) return true;
    long long source_input, source_fallback, target_output, target_fallback;
    if (!parse_integer(t[1], source_input) || !parse_integer(t[2], source_fallback) ||
        !parse_integer(t[4], target_output) || !parse_integer(t[5], target_fallback))
      continue;
    if (target_output != 0 && target_output != 1) continue;
    const int target = shuffle_slot_of(t[3], target_fallback);
    if (target < 0) continue;
    Route& route = routes[static_cast<std::size_t>(target + 4 * target_output)];
    if (t[0] == "black") {
      route = {1, 0, 0};
    } else if (t[0] == "white") {
      route = {2, 0, 0};
    } else if (source_input == 0 || source_input == 1) {
      const int source = shuffle_slot_of(t[0], source_fallback);
      route = source >= 0 ? Route{3, static_cast<int>(source_input), source} : Route{1, 0, 0};
    }
  }
  return true;
}

std::array<float, 4> shuffle_codes(const std::array<Route, 4>& routes, bool alt_default,
                                   bool has_input0, bool has_input1) {
  std::array<float, 4> codes{};
  for (std::size_t i = 0; i < routes.size(); ++i) {
    const Route& r = routes[i];
    switch (r.kind) {
      case 0:
        codes[i] = alt_default ? 10.0f : 4.0f;
        break;
      case 1:
        codes[i] = 4.0f;
        break;
      case 3:
        // In double: a host-made route may carry any int, and input x 6 must not overflow.
        codes[i] = (r.input == 0 ? has_input0 : has_input1)
                       ? static_cast<float>(static_cast<double>(r.input) * 6 + r.slot)
                       : 4.0f;
        break;
      default:
        codes[i] = 5.0f;
    }
  }
  return codes;
}

}  // namespace qn::nodes::merge
