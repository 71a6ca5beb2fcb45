// nodes/merge/names.h — the position of a name in one of the merge family's name tables
// (internal).
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace qn::nodes::merge::detail {

/// The position of `name` (exact, case-sensitive) in `names`, or -1.
template <std::size_t N>
int index_of(const std::array<const char*, N>& names, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i)
    if (name == names[i]) return static_cast<int>(i);
  return -1;
}

}  // namespace qn::nodes::merge::detail
