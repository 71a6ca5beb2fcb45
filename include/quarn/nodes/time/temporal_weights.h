// quarn/nodes/time/temporal_weights.h — the frames a blending time node reads and their weights.
//
// A frame f covers the time interval [f - 0.5, f + 0.5). A frame blend weighs frames by their
// overlap with a box window; a motion-blur shutter counts how many of its evenly spaced samples
// fall on each frame. The host reads the listed frames and sums them with these weights.
//
// Pure functions: they own nothing, take no locks, may be called from any thread and never
// throw. Both results are (frame, weight) pairs in ascending frame order, and both are bounded
// so that no parameter can make them loop or allocate without limit (see each function).
#pragma once

#include <utility>
#include <vector>

#include "quarn/export.h"

namespace qn::nodes::time {

/// The widest box window, in frames: it touches at most 256 frames, like a frame blend.
inline constexpr double MAX_BOX_WIDTH = 255.0;

/// The most samples a shutter takes.
inline constexpr long long MAX_SHUTTER_SAMPLES = 1024;

/// Frames overlapping the window [centre - w/2, centre + w/2] with their overlaps normalised
/// to sum to 1 (compensated summation). w is `width` limited to [1e-6, MAX_BOX_WIDTH]; a NaN
/// width counts as 1e-6. A window edge on a frame boundary adds no entry (overlaps of at most
/// 1e-9 are dropped). A centre that is not finite gives an empty list.
QN_API std::vector<std::pair<long long, double>> box_weights(double centre, double width);

/// Frames hit by n = clamp(samples, 1, MAX_SHUTTER_SAMPLES) shutter samples, each with the
/// number of samples that landed on it (not normalised: the counts sum to n). The shutter
/// starts at frame - shutter/2 (mode 0), frame (mode 1), frame - shutter (mode 2), or
/// frame + offset (any other mode) and lasts `shutter` frames. One sample sits at the
/// shutter's middle; two or more span it, both ends included. A sample lands on the frame
/// floor(time + 0.5), saturated to the int64 range; a sample at a time that is not finite
/// lands nowhere, so its count is missing from the sum.
QN_API std::vector<std::pair<long long, double>> shutter_weights(double frame, long long samples,
                                                                 double shutter, int mode,
                                                                 double offset);

}  // namespace qn::nodes::time
