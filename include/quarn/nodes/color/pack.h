// quarn/nodes/color/pack.h — a colour-correction node's knobs and inputs packed into the float
// uniforms of its shader.
//
// The host describes the mapping once as a `Spec`: knobs (named parameters of 1 to 16 floats)
// and uniforms (vectors of 1 to 16 components, each taken from one `Source`). `finish` checks
// the description and derives the layout of the flat knob-value array:
//
//   knobs      gain(3)        mix(1)   lut(16)
//   values     [g0 g1 g2]     [m0]     [l0 ... l15]
//   starts      0              3        4              knob_floats = 20
//
// Then, per evaluation, `pack` writes one `Packed` record per uniform. `Packed` has the layout of
// `qn::gpu::Pending`, with the uniform's position where `Pending` holds a location, so a caller
// maps positions to locations and hands the records to `qn::gpu::uniform_set_many` as they are.
//
// Owns: nothing beyond the `Spec`'s own vectors. Threads: one thread at a time per `Spec`;
// `pack` only reads it. Failures: `finish` returns false and, when `err` is not null, replaces
// `*err` with one of
//   "knob NAME: length / default mismatch"   (components outside 1..16 or not the defaults' count)
//   "uniform NAME: 1..16 components"          (no source or more than 16)
//   "uniform NAME: source out of range"       (a source names a missing knob, component or input)
// for the first failing knob, then uniform, in list order. Success leaves `*err` untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quarn/export.h"

namespace qn::nodes::color {

/// One component of a uniform.
struct Source {
  std::uint8_t kind = 2;       // 0 knob component, 1 input value, 2 constant, 3 gated knob
                               // value; any other kind yields 0
  std::int32_t index = 0;      // kinds 0, 3: knob; kind 1: input (0..63)
  std::int32_t component = 0;  // kind 0: component of the knob; kind 3: knob passed by the gate
  float constant = 0;          // kind 2: the value
};

struct Knob {
  std::string name;
  std::int32_t components = 1;  // 1..16
  std::vector<float> defaults;  // exactly `components` values
};

struct Uniform {
  std::string name;             // the shader uniform's name
  std::vector<Source> sources;  // 1..16; their number is the uniform's component count
};

/// Inputs a source of kind 1 may name: 0 to MAX_INPUTS - 1.
inline constexpr int MAX_INPUTS = 64;

struct Spec {
  std::vector<Knob> knobs;           // host: in the order of the flat knob-value array
  std::vector<Uniform> uniforms;     // host: in output order
  std::vector<std::int32_t> starts;  // finish: first position of each knob's values
  std::int32_t knob_floats = 0;      // finish: length of the flat knob-value array
  std::int32_t input_count = 0;      // finish: one more than the largest input index used

  /// Checks the `Spec` and fills `starts`, `knob_floats` and `input_count`. A failure leaves the
  /// derived fields as far as they were computed.
  [[nodiscard]] QN_API bool finish(std::string* err);
};

/// One uniform's value. Same layout as `qn::gpu::Pending`.
struct Packed {
  std::int32_t index;  // the uniform's position in `Spec::uniforms`
  std::int32_t count;  // its number of sources
  float values[16];    // only the first `count` are written
};

/// Writes `out[i]` for every uniform i: index i, its source count, and per source j
///   kind 0: knob_values[starts[index] + component]      kind 1: inputs[index]
///   kind 2: constant                                      other:  0
///   kind 3: knob_values[starts[component]] if knob_values[starts[index]] != 0 (NaN passes), else 0
/// `knob_values` holds `knob_floats` values, `inputs` at least `input_count`, `out` one record
/// per uniform. No allocation, no check beyond the following, which costs a few comparisons per
/// component: after a failed `finish`, or when the `Spec` was edited after it, a uniform with no
/// source or more than 16, or with a source whose read would fall outside `starts`, outside
/// 0..knob_floats-1 or outside 0..input_count-1, is mismatching, and its record `out[i]` is left
/// entirely untouched. Every other record is written as usual.
QN_API void pack(const Spec& spec, const float* knob_values, const float* inputs, Packed* out);

}  // namespace qn::nodes::color
