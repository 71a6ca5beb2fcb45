// tests/support/matrices.h — reference arithmetic, steps and messages for the xform tests.
#pragma once

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

namespace qn_test {

using Mat3 = std::array<double, 9>;
inline constexpr Mat3 kIdentity3{1, 0, 0, 0, 1, 0, 0, 0, 1};
inline Mat3 translation(double x, double y) { return {1, 0, x, 0, 1, y, 0, 0, 1}; }

struct Point {
  double x, y;
};

/// (x, y) through the homogeneous matrix `m` (row-major, column vectors).
inline Point map_point(const Mat3& m, Point p) {
  const double w = m[6] * p.x + m[7] * p.y + m[8];
  return {(m[0] * p.x + m[1] * p.y + m[2]) / w, (m[3] * p.x + m[4] * p.y + m[5]) / w};
}

/// Steps as the host lays them out. A reformat has pixel aspect 1; `with` sets other indices.
inline std::vector<double> transform_step(double tx, double ty, double rotate = 0, double sx = 1,
                                          double sy = 1, double kx = 0, double ky = 0,
                                          double skew_order = 0, double cx = 0, double cy = 0,
                                          double invert = 0) {
  return {0, tx, ty, rotate, sx, sy, kx, ky, skew_order, cx, cy, invert};
}
inline std::vector<double> reformat_step(double w, double h, double resize = 0,
                                         double keep_outside = 1) {
  return {1, 0, w, h, 1, 0, 0, 0, 1, 1, 1, resize, 0, 0, 0, 0, keep_outside};
}
inline std::vector<double> with(std::vector<double> step,
                                std::initializer_list<std::pair<int, double>> values) {
  for (auto [i, v] : values) step[i] = v;
  return step;
}
/// A corner pin of the given pairs with the identity as its extra matrix.
inline std::vector<double> cornerpin_step(const std::vector<Point>& from,
                                          const std::vector<Point>& to, double invert = 0) {
  std::vector<double> s{2, invert, static_cast<double>(from.size())};
  for (const Point& p : from) s.insert(s.end(), {p.x, p.y});
  for (const Point& p : to) s.insert(s.end(), {p.x, p.y});
  for (int i = 0; i < 16; ++i) s.push_back(i % 5 == 0 ? 1 : 0);
  return s;
}

inline constexpr const char* kNaNToInteger = "cannot convert float NaN to integer";
inline constexpr const char* kInfToInteger = "cannot convert float infinity to integer";

}  // namespace qn_test
