// quarn/xform/plan.h — what a renderer needs to draw a transform chain.
//
// From a chain of steps (quarn/xform/step.h) at the frame and at each motion-blur sample time:
// the combined matrix, the output format, the integer box of the output data, and for each
// chain the sampling map from output pixels back to input pixels in the form a GPU draw takes.
//
// Chain order: later steps multiply on the left, so for steps s0, s1, s2
//
//     input pixel ──s0──▶ ──s1──▶ ──s2──▶ output pixel      M = S2 · S1 · S0
//
// and a draw samples the input through the inverse, between the two data windows:
//
//     output-window pixel ──F_out──▶ output pixel ──M⁻¹──▶ input pixel ──F_in──▶ input-window pixel
//
// Pure functions; reentrant; need `has_blas()`. Errors of `step_matrix` and of the guarded
// conversion (quarn/xform/matrix.h) propagate. A chain whose step has no matrix ends early:
// `total` gives no matrix and `plan` draws nothing for it (kind 2) and bounds the input
// window instead.
#pragma once

#include "quarn/export.h"

#include <array>
#include <optional>
#include <vector>

namespace qn::xform {

struct TotalOut {
  std::optional<std::array<double, 9>> matrix;  // product of all step matrices, input to output
  long width = 0, height = 0;                   // the output format
  std::array<long, 4> crop{};                   // the crop the steps ask for, when has_crop
  bool has_crop = false;
};

/// Runs the chain on a `width` × `height` format. A cropping step crops to its own output
/// format; later steps carry that crop along through their matrices.
QN_API TotalOut total(const std::vector<std::vector<double>>& steps, long width, long height);

/// How many motion-blur samples the corner paths of a `width` × `height` format need through
/// the given matrices (in sample order): 0 for no motion (longest path under 0.0001 pixel),
/// else min(128, ceil(factor × longest path) + 1).
QN_API long mblur_samples(double factor,
                          const std::vector<std::optional<std::array<double, 9>>>& matrices,
                          long width, long height);

struct PlanIn {
  std::vector<std::vector<double>> steps;                 // the chain at the frame itself
  std::vector<std::vector<std::vector<double>>> samples;  // the chain per sample; empty: none
  long width = 0, height = 0;                             // the input format
  std::array<long, 4> bbox{};                             // the input data window
  bool outside_flag = false;                              // passed to the output flag
  bool exact = false;                                     // never grow boxes for resampling
  bool tight = false;        // don't widen the output box to the format; sets the output flag
  bool crop_format = false;  // crop to the output format even when no step asks for it
  bool keep_input = false;   // the output box always contains the input data window
};

/// One sampling map as a draw takes it. Kinds:
///   0 affine       m0..m5 = [[a, b, c], [d, e, f]] in y-up coordinates, m6..m8 = 0
///   1 projective   all nine, signed so that the output centre has w > 0
///   2 nothing      m2 = m5 = −1e9, the rest 0
///   3 identity     same size, no resampling; zeros
/// `whole_pixel`: an affine draw that only shifts by whole pixels (no filtering needed).
inline constexpr int DRAW_AFFINE = 0;
inline constexpr int DRAW_PROJECTIVE = 1;
inline constexpr int DRAW_NOTHING = 2;
inline constexpr int DRAW_IDENTITY = 3;
struct Draw {
  int kind = 0;
  std::array<double, 9> m{};
  bool whole_pixel = false;
};

struct PlanOut {
  bool identity = false;  // the chain is a no-op; every other field is zero
  long width = 0, height = 0;
  std::array<long, 4> bbox{};  // the output data window
  bool outside_flag = false;
  Draw draw;                       // the frame itself
  std::vector<Draw> sample_draws;  // one per entry of PlanIn::samples, in order
};

/// The plan of `in`. The output box is the union of the input window mapped through each
/// matrix (the samples', or the frame's without samples), grown by a pixel for resampling
/// unless the map is a whole-pixel shift or `exact`; cut by the crop; widened to the output
/// format unless `tight`; held within (−W, −H, 2W, 2H); widened to the input window with
/// `keep_input`.
QN_API PlanOut plan(const PlanIn& in);

}  // namespace qn::xform
