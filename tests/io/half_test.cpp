#include "quarn/io/half.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

using qn::io::half_to_float;
using qn::io::half_to_float_scalar;

// The scalar rule against a model on every pattern (NaN payloads kept); the dispatched path writes
// its bits, exactly n floats from an odd source: short runs, every pattern, past streaming size.
TEST(HalfToFloat, BothPathsMatchTheModelBitForBit) {
  std::mt19937 rng(7);
  std::vector<unsigned short> all(65536), large((80u << 20) / 4 + 13);
  std::iota(all.begin(), all.end(), 0);
  for (auto& v : large) v = static_cast<unsigned short>(rng());
  std::vector<float> scalar(all.size());
  half_to_float_scalar(all.data(), scalar.data(), all.size());
  for (std::uint32_t i = 0; i < 65536; ++i) {
    const float f = scalar[i];
    const std::uint32_t sign = i >> 15, e = (i >> 10) & 31, m = i & 1023;
    const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, int(e) - 25);
    if (e == 31)
      ASSERT_EQ(std::bit_cast<std::uint32_t>(f), sign << 31 | 0x7F800000u | m << 13) << i;
    else
      ASSERT_TRUE(f == (sign ? -mag : mag) && std::signbit(f) == (sign != 0)) << i;
  }
  auto expect_same = [](const std::vector<unsigned short>& h, std::size_t out_offset) {
    std::vector<unsigned char> src(h.size() * 2 + 1), want(h.size() * 4 + 40, 0xA5);
    if (!h.empty()) std::memcpy(src.data() + 1, h.data(), h.size() * 2);
    auto got = want;
    half_to_float_scalar(h.data(), reinterpret_cast<float*>(want.data() + out_offset), h.size());
    half_to_float(reinterpret_cast<const unsigned short*>(src.data() + 1),
                  reinterpret_cast<float*>(got.data() + out_offset), h.size());
    return want == got;
  };
  EXPECT_TRUE(expect_same(all, 3) && expect_same(all, 4) && expect_same(large, 4));
  for (int round = 0; round < 2000; ++round) {
    std::vector<unsigned short> h(round % 80);
    for (auto& v : h) v = static_cast<unsigned short>(rng());
    ASSERT_TRUE(expect_same(h, 4 * (round % 9))) << "round " << round;
  }
}

}  // namespace
