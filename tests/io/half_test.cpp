#include "quarn/io/half.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

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

// The value a half denotes, computed from its fields in double arithmetic: an independent model.
double half_value(unsigned short h) {
  const int e = (h >> 10) & 31, m = h & 1023;
  const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return (h & 0x8000) ? -mag : mag;
}

TEST(HalfToFloat, KnownPatterns) {
  const struct {
    unsigned short h;
    std::uint32_t f;
  } cases[] = {
      {0x0000, 0x00000000}, {0x8000, 0x80000000}, {0x0001, 0x33800000}, {0x03FF, 0x387FC000},
      {0x0400, 0x38800000}, {0x3C00, 0x3F800000}, {0x7BFF, 0x477FE000}, {0x7C00, 0x7F800000},
      {0xFC00, 0xFF800000}, {0x7E00, 0x7FC00000}, {0x7C01, 0x7F802000}, {0xFFFF, 0xFFFFE000},
  };
  for (const auto& c : cases) {
    float scalar = 0, dispatched = 0;
    qn::io::half_to_float_scalar(&c.h, &scalar, 1);
    qn::io::half_to_float(&c.h, &dispatched, 1);
    EXPECT_EQ(bits(scalar), c.f) << std::hex << c.h;
    EXPECT_EQ(bits(dispatched), c.f) << std::hex << c.h;
  }
}

TEST(HalfToFloat, ScalarRuleIsExactForEveryFiniteHalf) {
  const auto h = all_patterns();
  std::vector<float> f(h.size());
  qn::io::half_to_float_scalar(h.data(), f.data(), h.size());
  for (std::uint32_t i = 0; i < 65536; ++i) {
    if ((i & 0x7C00) == 0x7C00) continue;
    ASSERT_EQ(static_cast<double>(f[i]), half_value(static_cast<unsigned short>(i))) << i;
    ASSERT_EQ(std::signbit(f[i]), (i & 0x8000) != 0) << i;
  }
}

TEST(HalfToFloat, NanKeepsPayloadAndSignallingBit) {
  for (std::uint32_t i = 0x7C01; i <= 0x7FFF; ++i) {
    for (std::uint32_t sign : {0u, 0x8000u}) {
      const unsigned short h = static_cast<unsigned short>(i | sign);
      float f;
      qn::io::half_to_float_scalar(&h, &f, 1);
      ASSERT_EQ(bits(f), (sign << 16) | 0x7F800000u | (i & 0x3FF) << 13) << std::hex << h;
    }
  }
}

TEST(HalfToFloat, VectorPathMatchesScalarOnEveryPattern) {
  if (!qn::io::half_to_float_is_vectorised())
    GTEST_SKIP() << "no AVX/F16C on this processor: only the scalar path exists";
  const auto h = all_patterns();
  std::vector<float> scalar(h.size()), vector(h.size());
  qn::io::half_to_float_scalar(h.data(), scalar.data(), h.size());
  qn::io::half_to_float(h.data(), vector.data(), h.size());
  for (std::size_t i = 0; i < h.size(); ++i)
    ASSERT_EQ(bits(vector[i]), bits(scalar[i])) << std::hex << i;
}

// Every group of eight the vector path sees, with specials at every lane and at random.
TEST(HalfToFloat, GroupsMixingNansWithOrdinaryValuesMatchScalar) {
  std::mt19937 rng(7);
  const unsigned short specials[] = {0x7C01, 0x7E00, 0xFD55, 0x7C00, 0xFC00, 0x7FFF};
  for (int round = 0; round < 2000; ++round) {
    std::vector<unsigned short> h(8 * 5 + round % 8);                   // whole groups plus a tail
    for (auto& v : h) v = static_cast<unsigned short>(rng() & 0x7BFF);  // ordinary values
    const std::size_t lane = static_cast<std::size_t>(round) % h.size();
    h[lane] = specials[round % 6];
    if (round % 3 == 0) h[rng() % h.size()] = specials[rng() % 6];
    std::vector<float> scalar(h.size()), vector(h.size());
    qn::io::half_to_float_scalar(h.data(), scalar.data(), h.size());
    qn::io::half_to_float(h.data(), vector.data(), h.size());
    for (std::size_t i = 0; i < h.size(); ++i)
      ASSERT_EQ(bits(vector[i]), bits(scalar[i])) << "round " << round << " index " << i;
  }
}

// n = 7 is all tail; 8 and 9 take one vector step; odd counts end in the scalar tail. Every
// element is written, none past the end.
TEST(HalfToFloat, WritesExactlyNElementsForEveryShortLength) {
  const auto h = all_patterns();
  for (unsigned long n = 0; n <= 40; ++n) {
    std::vector<float> out(n + 4, -7.f);
    qn::io::half_to_float(h.data() + 0x3C00, out.data(), n);
    for (unsigned long i = 0; i < n; ++i) {
      float want;
      qn::io::half_to_float_scalar(h.data() + 0x3C00 + i, &want, 1);
      ASSERT_EQ(bits(out[i]), bits(want)) << "n " << n << " i " << i;
    }
    for (unsigned long i = n; i < n + 4; ++i) ASSERT_EQ(out[i], -7.f) << "n " << n;
  }
}

// Halves at an odd address and floats at an address that is not 4-aligned: memcpy-style
// accesses on every path (UBSan checks the alignment).
TEST(HalfToFloat, AcceptsUnalignedInputAndOutput) {
  const auto h = all_patterns();
  std::vector<unsigned char> src(h.size() * 2 + 1), dst(h.size() * 4 + 3);
  std::memcpy(src.data() + 1, h.data(), h.size() * 2);
  auto* odd_src = reinterpret_cast<const unsigned short*>(src.data() + 1);
  auto* odd_dst = reinterpret_cast<float*>(dst.data() + 3);
  std::vector<float> want(h.size());
  qn::io::half_to_float_scalar(h.data(), want.data(), h.size());
  for (auto convert : {&qn::io::half_to_float, &qn::io::half_to_float_scalar}) {
    std::fill(dst.begin(), dst.end(), 0);
    convert(odd_src, odd_dst, h.size());
    ASSERT_EQ(std::memcmp(dst.data() + 3, want.data(), want.size() * 4), 0);
  }
}

// Past the streaming threshold the vector path writes with non-temporal stores; the bits are
// the same, also when the output starts off a 32-byte boundary.
TEST(HalfToFloat, LargeArraysMatchScalar) {
  const std::size_t n = (80u << 20) / 4 + 13;  // 80 MiB of floats, an odd tail
  std::vector<unsigned short> h(n);
  for (std::size_t i = 0; i < n; ++i) h[i] = static_cast<unsigned short>(i * 2654435761u >> 7);
  std::vector<float> scalar(n + 1), vector(n + 1);
  qn::io::half_to_float_scalar(h.data(), scalar.data() + 1, n);
  qn::io::half_to_float(h.data(), vector.data() + 1, n);
  ASSERT_EQ(std::memcmp(scalar.data(), vector.data(), (n + 1) * 4), 0);
}

}  // namespace
