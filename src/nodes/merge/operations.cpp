#include "quarn/nodes/merge/operations.h"

#include <algorithm>

#include "nodes/merge/names.h"

namespace qn::nodes::merge {

const std::array<const char*, 30> OPERATIONS = {
    "atop",       "average",       "color-burn", "color-dodge", "conjoint-over", "copy",
    "difference", "disjoint-over", "divide",     "exclusion",   "from",          "geometric",
    "hard-light", "hypot",         "in",         "mask",        "matte",         "max",
    "min",        "minus",         "multiply",   "out",         "over",          "overlay",
    "plus",       "screen",        "soft-light", "stencil",     "under",         "xor"};

namespace {

constexpr int OVER = 22;

// The operations whose shader ignores the alpha-masking switch.
constexpr std::string_view NO_ALPHA_MASKING[] = {
    "atop", "copy",  "mask",  "over", "conjoint-over", "disjoint-over",
    "in",   "matte", "under", "out",  "xor",           "stencil"};

std::string or_none(std::string_view s) { return s.empty() ? std::string("none") : std::string(s); }

}  // namespace

std::string_view strip(std::string_view s) {
  std::size_t begin = 0, end = s.size();
  while (begin < end && is_space(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && is_space(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 128; });
}

int merge_op_index(std::string_view name) {
  const int i = detail::index_of(OPERATIONS, name);
  return i < 0 ? OVER : i;
}

bool merge_alpha_masking(std::string_view name, bool enabled) {
  if (!enabled) return false;
  return std::find(std::begin(NO_ALPHA_MASKING), std::end(NO_ALPHA_MASKING), name) ==
         std::end(NO_ALPHA_MASKING);
}

MergeOutput merge_output(std::string_view spec) {
  const std::string_view t = strip(spec);
  MergeOutput out;
  if (t == "none") {
    out.none = true;
  } else if (t.empty()) {
    out.layer = "rgba";
  } else if (t == "rgb") {
    out.layer = "rgba";
    out.mask = {1, 1, 1, 0};
  } else if (t == "alpha") {
    out.layer = "rgba";
    out.mask = {0, 0, 0, 1};
  } else {
    out.layer = t;
  }
  return out;
}

MergeSetup merge_setup(std::string_view op, std::string_view a, std::string_view b,
                       std::string_view output, std::string_view aux, double mix,
                       bool alpha_masking, bool extra_flag) {
  MergeSetup s;
  s.a = or_none(strip(a));
  s.b = or_none(strip(b));
  s.aux = strip(aux);
  s.output = merge_output(output);
  s.op = static_cast<float>(merge_op_index(op));
  s.mix = mix;
  s.alpha_masking = merge_alpha_masking(op, alpha_masking) ? 1.0f : 0.0f;
  s.extra_flag = extra_flag ? 1.0f : 0.0f;
  return s;
}

}  // namespace qn::nodes::merge
