// tests/support/counting_new.h — replaces the global operator new of a program to count
// allocations, for tests and benchmarks that prove a steady state never touches the heap.
//
// Include it in exactly ONE source file of the program (it defines the replacement functions),
// and never in tests/support/*.cpp, which every suite links. Thread-safe counter.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace qn_test {
inline std::atomic<long> g_allocations{0};

/// Allocations made through operator new since the program started.
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
