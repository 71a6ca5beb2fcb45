#include <cstdlib>
#include <new>

#include "core/platform.h"
#include "quarn/graph/internal/flat_map_table.h"

namespace qn::graph::internal {

void* allocate_huge_table(std::size_t bytes) {
  void* p = platform::allocate_huge_pages(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void release_huge_table(void* p, std::size_t) noexcept { std::free(p); }

}  // namespace qn::graph::internal
