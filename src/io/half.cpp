#include "quarn/io/half.h"

#include <immintrin.h>

#include <algorithm>
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
  const std::uint32_t m = h & 0x3FFu;
  if (e == 0) {
    if (m == 0) return sign;
    // Subnormal: shift the leading one up to the hidden-bit position (bit 10); every step of
    // the shift lowers the float exponent, which starts at 113 (2^-14 with bias 127).
    const std::uint32_t shift = static_cast<std::uint32_t>(__builtin_clz(m)) - 21;
    return sign | (113 - shift) << 23 | ((m << shift) & 0x3FFu) << 13;
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

// Lanes of `h` whose exponent is all ones (infinity or NaN), as a byte mask.
__attribute__((target("avx,f16c"))) inline __m128i specials(__m128i h) {
  const __m128i exp_mask = _mm_set1_epi16(0x7C00);
  return _mm_cmpeq_epi16(_mm_and_si128(h, exp_mask), exp_mask);
}

// How eight floats are written: anywhere, to a 32-byte aligned address, or to an aligned address
// bypassing the caches.
enum class Store { Unaligned, Aligned, Stream };

template <Store How>
__attribute__((target("avx,f16c"))) inline void store(float* dst, __m256 f) {
  if constexpr (How == Store::Stream)
    _mm256_stream_ps(dst, f);
  else if constexpr (How == Store::Aligned)
    _mm256_store_ps(dst, f);
  else
    _mm256_storeu_ps(dst, f);
}

// Eight halves to eight floats. A group holding an infinity or NaN goes through the scalar rule
// instead, because the instruction quiets signalling NaNs.
template <Store How>
__attribute__((target("avx,f16c"))) inline void widen_eight(const unsigned short* src, float* dst) {
  const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  if (__builtin_expect(_mm_movemask_epi8(specials(h)) == 0, 1)) {
    store<How>(dst, _mm256_cvtph_ps(h));
  } else {
    alignas(32) float tmp[8];
    widen_range(src, tmp, 8);
    store<How>(dst, _mm256_load_ps(tmp));
  }
}

// Thirty-two at a time with one test for the four groups; a block with any special value falls
// back to the group-by-group step, which gives the same bits.
template <Store How>
__attribute__((target("avx,f16c"))) unsigned long widen_blocks(const unsigned short* src,
                                                               float* dst, unsigned long i,
                                                               unsigned long n) {
  for (; i + 32 <= n; i += 32) {
    const auto* p = reinterpret_cast<const __m128i*>(src + i);
    const __m128i h0 = _mm_loadu_si128(p), h1 = _mm_loadu_si128(p + 1), h2 = _mm_loadu_si128(p + 2),
                  h3 = _mm_loadu_si128(p + 3);
    const __m128i any = _mm_or_si128(_mm_or_si128(specials(h0), specials(h1)),
                                     _mm_or_si128(specials(h2), specials(h3)));
    if (__builtin_expect(_mm_movemask_epi8(any) == 0, 1)) {
      store<How>(dst + i, _mm256_cvtph_ps(h0));
      store<How>(dst + i + 8, _mm256_cvtph_ps(h1));
      store<How>(dst + i + 16, _mm256_cvtph_ps(h2));
      store<How>(dst + i + 24, _mm256_cvtph_ps(h3));
    } else {
      for (unsigned long k = 0; k < 32; k += 8) widen_eight<How>(src + i + k, dst + i + k);
    }
  }
  for (; i + 8 <= n; i += 8) widen_eight<How>(src + i, dst + i);
  return i;
}

__attribute__((target("avx,f16c"))) void widen_vector(const unsigned short* src, float* dst,
                                                      unsigned long n) {
  unsigned long i = 0;
  const auto dst_addr = reinterpret_cast<std::uintptr_t>(dst);
  if (dst_addr % alignof(float) != 0) {
    i = widen_blocks<Store::Unaligned>(src, dst, 0, n);
  } else {
    // Whole 32-byte stores never straddle a cache line: widen the head one by one up to the
    // first aligned float.
    i = std::min<unsigned long>(n, ((32 - dst_addr % 32) % 32) / sizeof(float));
    widen_range(src, dst, i);
    if (n * sizeof(float) >= kStreamBytes) {
      i = widen_blocks<Store::Stream>(src, dst, i, n);
      _mm_sfence();  // streamed lines become visible before any later store of this thread
    } else {
      i = widen_blocks<Store::Aligned>(src, dst, i, n);
    }
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
