#include "quarn/io/half.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using qn::io::half_to_float;
using qn::io::half_to_float_scalar;

std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

std::vector<unsigned short> all_patterns() {
  std::vector<unsigned short> h(65536);
  for (std::uint32_t i = 0; i < 65536; ++i) h[i] = static_cast<unsigned short>(i);
  return h;
}

// The scalar rule against an independent model: finite halves by their value in double
// arithmetic, infinities and NaNs by their fields (payload and signalling bit kept).
TEST(HalfToFloat, ScalarPathMatchesTheModelOnEveryPattern) {
  const auto h = all_patterns();
  std::vector<float> f(h.size());
  half_to_float_scalar(h.data(), f.data(), h.size());
  for (std::uint32_t i = 0; i < 65536; ++i) {
    const std::uint32_t sign = i >> 15, e = (i >> 10) & 31, m = i & 1023;
    if (e == 31) {
      ASSERT_EQ(bits(f[i]), sign << 31 | 0x7F800000u | m << 13) << std::hex << i;
      continue;
    }
    const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, int(e) - 25);
    ASSERT_EQ(static_cast<double>(f[i]), sign ? -mag : mag) << i;
    ASSERT_EQ(std::signbit(f[i]), sign != 0) << i;
  }
}

// Every pattern, at odd addresses for both sides (memcpy-style accesses; UBSan checks) and on
// every short length: the dispatched path (AVX/F16C where the processor has it) gives the
// scalar bits, writing exactly n floats.
TEST(HalfToFloat, VectorPathMatchesScalarBitForBit) {
  const auto h = all_patterns();
  std::vector<float> want(h.size());
  half_to_float_scalar(h.data(), want.data(), h.size());
  std::vector<unsigned char> src(h.size() * 2 + 1), dst(h.size() * 4 + 3);
  std::memcpy(src.data() + 1, h.data(), h.size() * 2);
  for (auto convert : {&half_to_float, &half_to_float_scalar}) {
    convert(reinterpret_cast<const unsigned short*>(src.data() + 1),
            reinterpret_cast<float*>(dst.data() + 3), h.size());
    ASSERT_EQ(std::memcmp(dst.data() + 3, want.data(), want.size() * 4), 0);
  }
  for (unsigned long n = 0; n <= 40; ++n) {
    std::vector<float> out(n + 4, -7.f);
    half_to_float(h.data() + 0x7BF0, out.data(), n);  // ordinary values running into specials
    ASSERT_EQ(std::memcmp(out.data(), want.data() + 0x7BF0, n * 4), 0) << n;
    for (unsigned long i = n; i < n + 4; ++i) ASSERT_EQ(out[i], -7.f) << "n " << n;
  }
}

// Groups of eight mixing NaNs and infinities with ordinary values, specials in every lane.
TEST(HalfToFloat, GroupsMixingNansWithOrdinaryValuesMatchScalar) {
  std::mt19937 rng(7);
  const unsigned short specials[] = {0x7C01, 0x7E00, 0xFD55, 0x7C00, 0xFC00, 0x7FFF};
  for (int round = 0; round < 2000; ++round) {
    std::vector<unsigned short> h(8 * 5 + round % 8);  // whole groups plus a tail
    for (auto& v : h) v = static_cast<unsigned short>(rng() & 0x7BFF);
    h[static_cast<std::size_t>(round) % h.size()] = specials[round % 6];
    if (round % 3 == 0) h[rng() % h.size()] = specials[rng() % 6];
    std::vector<float> scalar(h.size()), vector(h.size());
    half_to_float_scalar(h.data(), scalar.data(), h.size());
    half_to_float(h.data(), vector.data(), h.size());
    ASSERT_EQ(std::memcmp(scalar.data(), vector.data(), h.size() * 4), 0) << "round " << round;
  }
}

// Past the streaming threshold the vector path writes with non-temporal stores; same bits, also
// when the output starts off a 32-byte boundary.
TEST(HalfToFloat, LargeArraysMatchScalar) {
  const std::size_t n = (80u << 20) / 4 + 13;  // 80 MiB of floats, an odd tail
  std::vector<unsigned short> h(n);
  for (std::size_t i = 0; i < n; ++i) h[i] = static_cast<unsigned short>(i * 2654435761u >> 7);
  std::vector<float> scalar(n + 1), vector(n + 1);
  half_to_float_scalar(h.data(), scalar.data() + 1, n);
  half_to_float(h.data(), vector.data() + 1, n);
  ASSERT_EQ(std::memcmp(scalar.data(), vector.data(), (n + 1) * 4), 0);
}

}  // namespace
