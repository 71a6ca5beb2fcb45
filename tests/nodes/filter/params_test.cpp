#include "quarn/nodes/filter/params.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "quarn/nodes/filter/plan.h"
#include "quarn/nodes/filter/scratch.h"

namespace filter = qn::nodes::filter;

namespace {

const double INF = std::numeric_limits<double>::infinity(), NaN = std::nan("");

TEST(FilterParams, RadiusFactorAndErodeRampHaveDefinedEnds) {
  // clang-format off
  const double cases[][4] = {  // size, code (filter for radius, limit for factor), radius, factor
      {7, 0, 3, 1}, {7, 1, 6, 7}, {7, 3, 10, 3}, {1, 0, 0, 1}, {0.5, 1, 0, 1}, {-3, 2, 0, 1},
      {5000, 2, 4096, 2500}, {3, 0, 1, 1}, {4, 0, 2, 1}, {100, 25, 150, 4}, {101, 25, 151, 5},
      {25, 25, 37, 1}, {100, 0, 50, 1}, {26, 25, 39, 2}, {NaN, 2, 0, 1}, {INF, 2, 4096, INT_MAX},
      {1e300, 1, 4096, INT_MAX}, {2730, 2, 4095, 1365}, {2731, 2, 4096, 1366}, {1e-12, 1, 0, 1},
      {1, 2, 1, 1}, {0.5, 2, 0, 1}};
  const double ramps[][3] = {{0, 1, -0.0}, {0.1, 1, -0.0}, {1, 4, -2.875}, {-1, 4, -2.875},
      {INF, 1e6, -1e6}, {NaN, 1e6, -1e6}, {0.2, 1 / 0.96875, -0.03125 / 0.96875}};  // amount: a, b
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(filter::radius(c[0], int(c[1])), c[2]) << c[0] << " / " << c[1];
    EXPECT_EQ(filter::factor(c[0], int(c[1])), c[3]) << c[0] << " / " << c[1];
  }
  for (const auto& c : ramps) {
    double scale = 0, bias = 0;
    filter::erode_ramp(c[0], &scale, &bias);
    EXPECT_NEAR(scale, c[1], 1e-6 * c[1]) << c[0];
    EXPECT_NEAR(bias, c[2], 1e-6 * std::fabs(c[1])) << c[0];
    EXPECT_EQ(std::signbit(bias), std::signbit(c[2])) << c[0];
  }
}

TEST(FilterParams, UniformValuesNarrowToFloatAndProgramsOverwriteInPlace) {
  const float inf = std::numeric_limits<float>::infinity();
  const filter::Uni u2 = filter::U2("b", 1e300, -1e300), u3 = filter::U3("c", 1.5, NaN, 3);
  EXPECT_EQ(std::vector<float>(u2.v, u2.v + 4), (std::vector<float>{inf, -inf, 0, 0}));
  EXPECT_TRUE(u3.n == 3 && u3.v[0] == 1.5f && std::isnan(u3.v[1]) && u3.v[3] == 0);
  filter::program_set("x.frag", {1, 2, 3, 4, {{"u_image", 0}}});
  const filter::Prog* p = filter::program_get("x.frag");
  filter::program_set("x.frag", {5, 6, 7, 8, {}});
  EXPECT_EQ(filter::program_get("x.frag"), p);
  EXPECT_TRUE(p->program == 5 && p->count == 8 && p->samplers.empty());
  EXPECT_EQ(filter::program_get("X.frag"), nullptr);
  filter::programs_clear();
  EXPECT_EQ(filter::program_get("x.frag"), nullptr);
}

}  // namespace
