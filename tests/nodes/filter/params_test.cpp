#include "quarn/nodes/filter/params.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "quarn/nodes/filter/plan.h"
#include "quarn/nodes/filter/scratch.h"

namespace filter = qn::nodes::filter;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(FilterParams, RadiusFollowsTheFilterCodeAndStaysInRange) {
  struct Case {
    double size;
    int filter, radius;
  };
  const Case cases[] = {{7, 0, 3},      {7, 1, 6},       {7, 3, 10},      {1, 0, 0},
                        {0.5, 1, 0},    {-3, 2, 0},      {5000, 2, 4096}, {3, 0, 1},
                        {4, 0, 2},      {2, -7, 3},      {1e-12, 1, 0},   {NaN, 2, 0},
                        {INF, 0, 4096}, {2731, 2, 4096}, {2730, 2, 4095}};
  for (const Case& c : cases)
    EXPECT_EQ(filter::radius(c.size, c.filter), c.radius) << c.size << " / " << c.filter;
}

TEST(FilterParams, FactorReducesOnlyAboveTheLimitAndNeverOverflows) {
  struct Case {
    double size;
    int limit, factor;
  };
  const Case cases[] = {{100, 25, 4},   {101, 25, 5},           {25, 25, 1},
                        {100, 0, 1},    {100, -4, 1},           {26, 25, 2},
                        {NaN, 25, 1},   {INF, 25, INT_MAX},     {1e300, 1, INT_MAX},
                        {-1e300, 1, 1}, {100.0000000001, 25, 4}};
  for (const Case& c : cases)
    EXPECT_EQ(filter::factor(c.size, c.limit), c.factor) << c.size << " / " << c.limit;
}

TEST(FilterParams, ErodeRampStretchesTheBandAroundTheEdge) {
  struct Case {
    double amount, scale, bias;
  };
  const Case cases[] = {{0, 1, -0.0},    {0.1, 1, -0.0},   {1, 4, -2.875},
                        {-1, 4, -2.875}, {INF, 1e6, -1e6}, {NaN, 1e6, -1e6}};
  for (const Case& c : cases) {
    double scale = 0, bias = 0;
    filter::erode_ramp(c.amount, &scale, &bias);
    EXPECT_DOUBLE_EQ(scale, c.scale) << c.amount;
    EXPECT_DOUBLE_EQ(bias, c.bias) << c.amount;
    if (c.bias == 0) {
      EXPECT_TRUE(std::signbit(bias)) << c.amount;
    }
  }
  double s2 = 0, b2 = 0, sm2 = 0, bm2 = 0;
  filter::erode_ramp(2, &s2, &b2);
  filter::erode_ramp(-2, &sm2, &bm2);
  EXPECT_EQ(s2, sm2);
  EXPECT_EQ(b2, bm2);
  // Just above 1/6 the ramp is steep but finite: d is raised to 1e-6 at most.
  filter::erode_ramp(1.0 / 6 + 1e-12, &s2, &b2);
  EXPECT_LE(s2, 1e6);
}

TEST(FilterParams, UniformsNarrowToFloatAndZeroTheRest) {
  const filter::Uni u[] = {filter::U("a", 1.5), filter::U2("b", 1e300, -1e300),
                           filter::U3("c", NaN, 2, 3), filter::U4("d", 1, 2, 3, 4)};
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(u[0].n, 1);
  EXPECT_EQ(u[0].name, "a");
  EXPECT_EQ((std::vector<float>(u[0].v, u[0].v + 4)), (std::vector<float>{1.5f, 0, 0, 0}));
  EXPECT_EQ((std::vector<float>(u[1].v, u[1].v + 4)), (std::vector<float>{inf, -inf, 0, 0}));
  EXPECT_EQ(u[2].n, 3);
  EXPECT_TRUE(std::isnan(u[2].v[0]));
  EXPECT_EQ(u[2].v[3], 0.0f);
  EXPECT_EQ((std::vector<float>(u[3].v, u[3].v + 4)), (std::vector<float>{1, 2, 3, 4}));
}

TEST(FilterPrograms, SetOverwritesInPlaceAndClearForgets) {
  filter::program_set("x.frag", {1, 2, 3, 4, {{"u_image", 0}}});
  const filter::Prog* p = filter::program_get("x.frag");
  ASSERT_NE(p, nullptr);
  filter::program_set("x.frag", {5, 6, 7, 8, {}});
  EXPECT_EQ(filter::program_get("x.frag"), p);
  EXPECT_EQ(p->program, 5u);
  EXPECT_EQ(p->count, 8);
  EXPECT_TRUE(p->samplers.empty());
  EXPECT_EQ(filter::program_get("X.frag"), nullptr);
  filter::programs_clear();
  EXPECT_EQ(filter::program_get("x.frag"), nullptr);
  filter::note_fallback();
  EXPECT_EQ(filter::stats().fallbacks, 1u);
}

}  // namespace
