// quarn/nodes/merge/operations.h — the merge node's knobs as the numbers its shader needs: the
// operation index, whether alpha masking applies, the output layer and write mask, the mix.
//
// Also the text trimming of the whole merge/shuffle/keyer family: `strip` removes the bytes 9 to
// 13 (tab, line feed, vertical tab, form feed, carriage return), 28 to 31 (the ASCII separators)
// and 32 (space) from both ends. Every comparison of names here is exact and case-sensitive.
//
// Pure functions over `std::string_view`: nothing is owned, nothing locked, any thread may call
// them. Nothing fails: unknown operation names mean "over", unknown output texts are layer
// names. Only `merge_setup` allocates (the strings it returns).
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "quarn/export.h"

namespace qn::nodes::merge {

/// The merge operations; the position of a name is the index the shader receives.
QN_API extern const std::array<const char*, 30> OPERATIONS;

/// Whether byte `c` is whitespace for the merge family (see the banner).
constexpr bool is_space(unsigned char c) {
  return c == 32 || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
}

/// `s` without leading and trailing whitespace: a view into `s`, empty when all of it is.
QN_API std::string_view strip(std::string_view s);

/// Whether every byte is below 128 (true for the empty text).
QN_API bool is_ascii(std::string_view s);

/// The index of `name` in `OPERATIONS` (untrimmed), or 22 ("over") when it is not there.
QN_API int merge_op_index(std::string_view name);

/// False when `enabled` is false or `name` is one of the twelve operations that ignore alpha
/// masking ("atop", "copy", "mask", "over", "conjoint-over", "disjoint-over", "in", "matte",
/// "under", "out", "xor", "stencil"); true otherwise, unknown names included.
QN_API bool merge_alpha_masking(std::string_view name, bool enabled);

/// Where a merge writes.
struct MergeOutput {
  bool none = false;                      // the merge writes no output
  std::string layer;                      // layer written
  std::array<float, 4> mask{1, 1, 1, 1};  // per channel r, g, b, a: 1 written, 0 kept
};

/// From the trimmed output text: "" → "rgba"; "none" → no output; "rgb" → "rgba" without alpha;
/// "alpha" → "rgba", alpha only; anything else → that layer, all four channels.
QN_API MergeOutput merge_output(std::string_view spec);

/// Everything a merge pass needs, owning its strings.
struct MergeSetup {
  std::string a;    // A-side channel text, trimmed; "none" when empty
  std::string b;    // B-side channel text, trimmed; "none" when empty
  std::string aux;  // a further channel text, trimmed; may be empty
  MergeOutput output;
  float op = 22;            // `merge_op_index(op)`
  float alpha_masking = 0;  // 1 or 0
  float extra_flag = 0;     // 1 or 0, passed through
  double mix = 1;
};

/// Fills a `MergeSetup` in field order. The operation text is not trimmed.
QN_API MergeSetup merge_setup(std::string_view op, std::string_view a, std::string_view b,
                              std::string_view output, std::string_view aux, double mix,
                              bool alpha_masking, bool extra_flag);

}  // namespace qn::nodes::merge
