// Transform planning against bare arithmetic:
//  - `plan` of a three-step chain (transform, reformat, four-point corner pin) with 8 motion-blur
//    samples, against the matrix arithmetic such a plan needs (9 chain products, inverses,
//    corner maps and window products) written inline with Imath: the price of step parsing,
//    the pin solves, the hook calls and the result records.
//  - a four-point corner pin through the host's OpenBLAS hooks against the same 8 × 8 solve
//    and extra-matrix product done inline: the price of the hook calls.
#include "quarn/xform/plan.h"
#include "quarn/xform/step.h"
#include "ratio_main.h"
#include "support/blas.h"
#include "support/matrices.h"

#include <Imath/ImathMatrix.h>
#include <Imath/ImathVec.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <utility>

namespace {

using qn_test::Point;
using Step = std::vector<double>;

const std::vector<Point> kFrom{{0, 0}, {960, 0}, {960, 540}, {0, 540}};

Step pin_step(double wobble) {
  return qn_test::cornerpin_step(
      kFrom, {{12 + wobble, 8}, {940, 30 + wobble}, {980 - wobble, 560}, {-10, 520 + wobble}});
}

std::vector<Step> chain(double t) {
  Step reformat = qn_test::reformat_step(960, 540, 3);
  reformat[12] = 1;
  return {qn_test::transform_step(4 * t, -2 * t, 3 + t, 1.1, 1.1, 0, 0, 0, 960, 540), reformat,
          pin_step(t)};
}

qn::xform::PlanIn plan_input() {
  qn::xform::PlanIn in;
  in.steps = chain(0);
  for (int i = 0; i < 8; ++i) in.samples.push_back(chain((i - 3.5) / 4));
  in.width = 1920;
  in.height = 1080;
  in.bbox = {0, 0, 1920, 1080};
  return in;
}

void BM_Plan3Steps8Samples(benchmark::State& state) {
  const qn::xform::PlanIn in = plan_input();
  for (auto _ : state) benchmark::DoNotOptimize(qn::xform::plan(in));
}
BENCHMARK(BM_Plan3Steps8Samples);

Imath::M33d to_imath(const std::array<double, 9>& m) {
  // Imath multiplies row vectors: store the transpose.
  return Imath::M33d(m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]);
}

void BM_PlanArithmeticImath(benchmark::State& state) {
  const qn::xform::PlanIn in = plan_input();
  std::vector<std::array<Imath::M33d, 3>> chains;
  for (int c = 0; c < 9; ++c) {
    const auto& steps = c == 0 ? in.steps : in.samples[c - 1];
    std::array<Imath::M33d, 3> ms;
    long w = in.width, h = in.height;
    bool crop = false;
    for (int s = 0; s < 3; ++s) ms[s] = to_imath(*qn::xform::step_matrix(steps[s], w, h, crop));
    chains.push_back(ms);
  }
  const double corners[4][2] = {{0, 0}, {1920, 0}, {0, 1080}, {1920, 1080}};
  for (auto _ : state) {
    double lo = 1e300, hi = -1e300;
    for (const auto& ms : chains) {
      const Imath::M33d m = ms[0] * ms[1] * ms[2];  // row vectors: first step first
      for (const auto& c : corners) {
        Imath::V2d p;
        m.multVecMatrix(Imath::V2d(c[0], c[1]), p);
        lo = std::min(lo, p.x);
        hi = std::max(hi, p.x);
      }
      const Imath::M33d g = Imath::M33d().setTranslation(Imath::V2d(-lo, 0)) * m.gjInverse() *
                            Imath::M33d().setTranslation(Imath::V2d(hi, 0));
      benchmark::DoNotOptimize(g);
    }
  }
}
BENCHMARK(BM_PlanArithmeticImath);

void BM_CornerPinHooks(benchmark::State& state) {
  const Step step = pin_step(0.25);
  long w = 960, h = 540;
  bool crop = false;
  for (auto _ : state) benchmark::DoNotOptimize(qn::xform::step_matrix(step, w, h, crop));
}
BENCHMARK(BM_CornerPinHooks);

// The same 8 × 8 system, solved by Gaussian elimination with partial pivoting, then E · H.
std::array<double, 9> pin_inline(const Step& s) {
  double a[8][9];
  const double* from = s.data() + 3;
  const double* to = from + 8;
  for (int i = 0; i < 4; ++i) {
    const double fx = from[2 * i], fy = from[2 * i + 1], tx = to[2 * i], ty = to[2 * i + 1];
    const double rx[9] = {fx, fy, 1, 0, 0, 0, -tx * fx, -tx * fy, tx};
    const double ry[9] = {0, 0, 0, fx, fy, 1, -ty * fx, -ty * fy, ty};
    std::copy(rx, rx + 9, a[2 * i]);
    std::copy(ry, ry + 9, a[2 * i + 1]);
  }
  for (int c = 0; c < 8; ++c) {
    int p = c;
    for (int r = c + 1; r < 8; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
    if (p != c)
      for (int k = 0; k < 9; ++k) std::swap(a[p][k], a[c][k]);
    for (int r = c + 1; r < 8; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < 9; ++k) a[r][k] -= f * a[c][k];
    }
  }
  double h[9];
  h[8] = 1;
  for (int r = 7; r >= 0; --r) {
    double v = a[r][8];
    for (int k = r + 1; k < 8; ++k) v -= a[r][k] * h[k];
    h[r] = v / a[r][r];
  }
  const double* e = s.data() + 19;
  const double em[9] = {e[0], e[1], e[3], e[4], e[5], e[7], e[12], e[13], e[15]};
  std::array<double, 9> m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) m[r * 3 + c] += em[r * 3 + k] * h[k * 3 + c];
  return m;
}

void BM_CornerPinInline(benchmark::State& state) {
  const Step step = pin_step(0.25);
  for (auto _ : state) benchmark::DoNotOptimize(pin_inline(step));
}
BENCHMARK(BM_CornerPinInline);

}  // namespace

int main(int argc, char** argv) {
  qn_test::install_openblas64();
  // Both sides of the corner-pin ratio must compute the same matrix.
  const Step step = pin_step(0.25);
  long w = 960, h = 540;
  bool crop = false;
  const auto ours = qn::xform::step_matrix(step, w, h, crop);
  const auto peer = pin_inline(step);
  for (int i = 0; i < 9; ++i)
    if (!ours || std::fabs((*ours)[i] - peer[i]) > 1e-9 * (1 + std::fabs(peer[i]))) {
      std::fprintf(stderr, "inline corner pin disagrees with the hooks at entry %d\n", i);
      return 1;
    }
  return qn_bench::run_with_ratios(argc, argv,
                                   {{"BM_Plan3Steps8Samples", "BM_PlanArithmeticImath",
                                     "plan, 3 steps + 8 samples, vs its bare arithmetic in Imath"},
                                    {"BM_CornerPinHooks", "BM_CornerPinInline",
                                     "4-point corner pin through the hooks vs inline 8x8 solve"}});
}
