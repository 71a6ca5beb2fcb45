// bench/counting_new.h — replaces a program's global operator new to count allocations.
// Include it in exactly ONE source file of a program (a bench, never ratio_main.cpp).
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace qn_test {
inline std::atomic<long> g_allocations{0};
inline long allocations() { return g_allocations.load(std::memory_order_relaxed); }
}  // namespace qn_test

// noinline keeps the compiler from pairing the inlined malloc with a sized delete.
[[gnu::noinline]] void* operator new(std::size_t n) {
  qn_test::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
