// quarn/nodes/filter/ops.h — the named filter operations: "blur", "sharpen", "glow", "dilate",
// "filter_erode", "erode", "edgeblur", "disc".
//
// `run_op` builds a plan (quarn/nodes/filter/plan.h) over `inputs` (image 0 the source; image 1
// the matte of "edgeblur" or a prefix image for "disc"), adds the operation's passes with
// uniforms computed from `params`, and runs it into `target`. The fragment shaders are the
// host's: `op_frags` names the ones an operation needs, which the host compiles and registers
// (`program_set`) before the first run. shaders/ holds a reference set.
//
// Blurs larger than the size limit run at reduced resolution: a "blur_downrez.frag" pass averages
// the box (x0, y0, x1, y1) into cells of factor(size, limit) pixels per axis, the separable blur
// runs on the cells with size / factor, and "blur_uprez.frag" brings it back to the source size.
//
// Parameters used as integers are truncated toward zero with defined results everywhere: the
// filter code and the size limit to int (NaN -> 0, beyond the range -> INT_MIN or INT_MAX), the
// box corners to 64-bit (NaN -> 0, beyond the range -> INT64_MIN or INT64_MAX). A reduced image
// whose cell count does not fit an int is clamped to INT_MAX cells (the plan then refuses or GL
// gets what it gets; nothing wraps).
//
// Results: those of `Plan::run` (1, 0, -1, -2), or without running: -1 for no inputs, an
// unknown operation (names are exact and case-sensitive), too few parameters, "edgeblur" with
// fewer than two inputs; 0 for "sharpen" whose blur adds no pass and "disc" with both radii
// below 0.5 (the source is the result; the target is not written).
//
// Threads: the GL thread only. Nothing is thrown apart from allocation failure.
#pragma once

#include <string>
#include <vector>

#include "quarn/export.h"
#include "quarn/nodes/filter/plan.h"

namespace qn::nodes::filter {

/// Renders operation `op` into `target`; see above for `params` per operation and the results.
///
///   "blur"         sx, sy, filter, limit, x0, y0, x1, y1
///   "sharpen"      the 8 of "blur", amount, min, max
///   "glow"         the 8 of "blur", tolerance, tint r, g, b, brightness, saturation, effect only
///   "dilate"       amount (negative shrinks)
///   "filter_erode" amount, filter
///   "erode"        amount, blur size, limit, x0, y0, x1, y1
///   "edgeblur"     the 8 of "blur", matte channel, edge multiplier, tint r, g, b, brightness
///   "disc"         radius x, radius y, direct flag
QN_API int run_op(const std::string& op, const std::vector<Tex>& inputs,
                  const std::vector<double>& params, const Tex& target, unsigned bound_fbo);

/// The fragment shaders `op` needs, in a fixed order; empty for an unknown name.
QN_API std::vector<std::string> op_frags(const std::string& op);

}  // namespace qn::nodes::filter
