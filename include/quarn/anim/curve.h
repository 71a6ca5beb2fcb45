// quarn/anim/curve.h — keyed animation curves evaluated natively.
//
// A `Curve` computes an incoming and an outgoing slope for every key once, at construction,
// from each key's interpolation mode, and `value` then evaluates a cubic Hermite segment, a
// step, or a linear extrapolation. A curve is a plain value owned by the host: it takes no
// locks; `value` is const and may run on many threads at once as long as nobody writes the
// curve meanwhile.
//
// Failure: a curve this evaluator cannot represent is refused with `NotCompilable`, whose
// message names the cause ("equal key times", "ZeroDivisionError"); the host then evaluates it
// by other means. `value` never throws.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "quarn/export.h"

namespace qn::anim {

/// Refusal of a curve that the native evaluator cannot represent; the message is the cause.
class QN_API NotCompilable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~NotCompilable() override;
};

/// Names for the values of `Key::mode`, described there.
inline constexpr int KEY_STEP = 0;
inline constexpr int KEY_LINEAR = 1;
inline constexpr int KEY_CLAMPED_SMOOTH = 2;
inline constexpr int KEY_SMOOTH = 3;
inline constexpr int KEY_CUBIC = 4;
inline constexpr int KEY_FLAT = 5;
inline constexpr int KEY_USER = 6;

/// One animation key. `mode` picks the slopes at the key and governs the segment that starts
/// at it:
///
///   0 step            slopes 0; the segment holds this key's value up to the next key
///   1 linear          incoming = secant from the previous key, outgoing = secant to the next
///   2 clamped smooth  as 3, but 0 where the key is a local extremum
///   3 smooth          central difference (one-sided secant at the ends)
///   4 cubic           slope of the natural cubic spline through all keys
///   5 flat            slopes 0
///   6 user            as 3 unless `has_in` / `has_out` give the slopes
///   7..255            as 3
struct Key {
  double t = 0;
  double v = 0;
  std::uint8_t mode = 0;
  bool has_in = false;
  bool has_out = false;
  double in_slope = 0;
  double out_slope = 0;
};

/// Computes the incoming and outgoing slope of every key by its mode; `in` and `out` are
/// resized to keys.size() and overwritten. A lone key gets slopes 0. A secant or difference
/// over a time step of exactly 0 divides by 1e-9 instead. The spline behind mode 4 is solved
/// once, only when some key has mode 4; a zero pivot in it (possible only with keys out of
/// time order) throws NotCompilable("ZeroDivisionError").
QN_API void slopes(const std::vector<Key>& keys, std::vector<double>& in, std::vector<double>& out);

class QN_API Curve {
 public:
  /// Takes the keys, which must be in ascending time (a decrease is not detected), and computes
  /// the slopes. Throws NotCompilable("equal key times") when two neighbouring keys have
  /// exactly equal times (a NaN time is not an error), or the spline error of `slopes`.
  Curve(std::vector<Key> keys, bool extrapolate);

  /// The curve at time t. No keys: 0. Before the first key and after the last: the end value,
  /// or with `extrapolate` and at least two keys a line along the end slope. Between keys: the
  /// segment found by bisection, held at the left key's value if that key has mode 0, else a
  /// cubic Hermite between the two keys with the left key's outgoing and the right key's
  /// incoming slope. At a key time, that key's value.
  ///
  /// The fields are public and a host may edit them. If `in` or `out` no longer has one entry
  /// per key, `value` treats every slope as 0: segments ease in and out between key values,
  /// mode 0 still steps, and the end values hold on both sides even with `extrapolate`.
  double value(double t) const;

  std::vector<Key> keys;    // ascending time
  std::vector<double> in;   // incoming slope per key
  std::vector<double> out;  // outgoing slope per key
  bool extrapolate = false;
};

}  // namespace qn::anim
