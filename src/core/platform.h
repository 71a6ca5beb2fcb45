// src/core/platform.h — two small helpers the library's areas share: elapsed milliseconds on the
// steady clock, and blocks that ask the kernel for transparent huge pages.
#pragma once

#include <sys/mman.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>

namespace qn::platform {

/// Milliseconds on the steady clock since `start`, at nanosecond resolution.
inline double ms_since(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - start);
  return static_cast<double>(ns.count()) / 1e6;
}

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

/// A block of at least `bytes` starting on a huge-page boundary and rounded up to whole huge
/// pages, advised to the kernel as MADV_HUGEPAGE (advice only: without huge pages it works the
/// same, more slowly). Null when it cannot be had, also for a size whose rounding would wrap.
/// Release with std::free.
inline void* allocate_huge_pages(std::size_t bytes) noexcept {
  if (bytes > static_cast<std::size_t>(-1) - kHugePage) return nullptr;
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p != nullptr) (void)madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

}  // namespace qn::platform
