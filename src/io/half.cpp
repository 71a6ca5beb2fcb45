#include "quarn/io/half.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace qn::io {
namespace {

// Above this many output bytes the result cannot stay in cache anyway, so streaming stores
// save the read-for-ownership of every destination line.
constexpr unsigned long kStreamBytes = 64ul << 20;

std::uint32_t widen(std::uint32_t h) {
  const std::uint32_t sign = (h & 0x8000u) << 16;
  const std::uint32_t e = (h >> 10) & 0x1Fu;
  std::uint32_t m = h & 0x3FFu;
  if (e == 0) {
    if (m == 0) return sign;
    // Subnormal: shift the leading one up to the hidden-bit position (bit 10).
    std::uint32_t E = 113;
    do {
      m <<= 1;
      --E;
    } while ((m & 0x400u) == 0);
    return sign | E << 23 | (m & 0x3FFu) << 13;
  }
  if (e == 31) return sign | 0x7F800000u | m << 13;
  return sign | (e + 112) << 23 | m << 13;
}

// Loads and stores through memcpy: the caller's arrays may sit at any address.
void widen_range(const unsigned short* src, float* dst, unsigned long n) {
  for (unsigned long i = 0; i < n; ++i) {
    unsigned short h;
    std::memcpy(&h, src + i, sizeof h);
    const std::uint32_t f = widen(h);
    std::memcpy(dst + i, &f, sizeof f);
  }
}

bool vector_path_available() {
  __builtin_cpu_init();
  // libgcc reports AVX only when the operating system saves the 256-bit registers.
  return __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
}

// Eight halves to eight floats. A group holding an exponent of all ones (infinity or NaN) goes
// through the scalar rule instead, because the instruction quiets signalling NaNs.
template <bool Stream>
__attribute__((target("avx,f16c"))) inline void widen_eight(const unsigned short* src, float* dst) {
  const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i exp_mask = _mm_set1_epi16(0x7C00);
  const __m128i special = _mm_cmpeq_epi16(_mm_and_si128(h, exp_mask), exp_mask);
  __m256 f;
  if (__builtin_expect(_mm_movemask_epi8(special) == 0, 1)) {
    f = _mm256_cvtph_ps(h);
  } else {
    alignas(32) float tmp[8];
    widen_range(src, tmp, 8);
    f = _mm256_load_ps(tmp);
  }
  if constexpr (Stream)
    _mm256_stream_ps(dst, f);
  else
    _mm256_storeu_ps(dst, f);
}

__attribute__((target("avx,f16c"))) void widen_vector(const unsigned short* src, float* dst,
                                                      unsigned long n) {
  unsigned long i = 0;
  const auto dst_addr = reinterpret_cast<std::uintptr_t>(dst);
  if (n * sizeof(float) >= kStreamBytes && dst_addr % alignof(float) == 0) {
    // Streaming stores need 32-byte aligned destinations: widen the head one by one.
    const unsigned long head = ((32 - dst_addr % 32) % 32) / sizeof(float);
    widen_range(src, dst, head);
    i = head;
    for (; i + 16 <= n; i += 16) {
      widen_eight<true>(src + i, dst + i);
      widen_eight<true>(src + i + 8, dst + i + 8);
    }
    for (; i + 8 <= n; i += 8) widen_eight<true>(src + i, dst + i);
    _mm_sfence();  // streamed lines become visible before any later store of this thread
  } else {
    for (; i + 16 <= n; i += 16) {
      widen_eight<false>(src + i, dst + i);
      widen_eight<false>(src + i + 8, dst + i + 8);
    }
    for (; i + 8 <= n; i += 8) widen_eight<false>(src + i, dst + i);
  }
  widen_range(src + i, dst + i, n - i);
}

}  // namespace

bool half_to_float_is_vectorised() {
  static const bool vector = vector_path_available();
  return vector;
}

void half_to_float(const unsigned short* src, float* dst, unsigned long n) {
  if (half_to_float_is_vectorised())
    widen_vector(src, dst, n);
  else
    widen_range(src, dst, n);
}

void half_to_float_scalar(const unsigned short* src, float* dst, unsigned long n) {
  widen_range(src, dst, n);
}

}  // namespace qn::io
