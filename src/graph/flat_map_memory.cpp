#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "quarn/graph/internal/flat_map_table.h"

namespace qn::graph::internal {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocate_huge_table(std::size_t bytes) {
  if (bytes > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
  void* p = std::aligned_alloc(kHugePage, rounded(bytes));
  if (p == nullptr) throw std::bad_alloc();
  // Advice only: where the kernel offers no huge pages the table works the same, more slowly.
  (void)madvise(p, rounded(bytes), MADV_HUGEPAGE);
  return p;
}

void release_huge_table(void* p, std::size_t) noexcept { std::free(p); }

}  // namespace qn::graph::internal
