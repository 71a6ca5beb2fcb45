// quarn/nodes/time/frame_mapping.h — which input frame(s) a time node reads for a requested frame.
//
// Pure functions over frame numbers and node parameters: frame hold, time offset, frame blend,
// the edge modes of a frame range, and retiming between an input and an output range. They own
// nothing, take no locks and may be called from any thread. None of them throws.
//
// Frames are int64. Every double-to-frame conversion here saturates instead of overflowing:
// a value beyond the int64 range becomes the nearest end (INT64_MIN or INT64_MAX) and NaN
// becomes frame 0. Integer frame arithmetic (range lengths, bounce periods, offsets) is carried
// out wide enough that no input can wrap.
#pragma once

#include <optional>
#include <vector>

#include "quarn/export.h"

namespace qn::nodes::time {

/// The most frames a frame blend returns, with or without a range.
inline constexpr long long MAX_BLEND_FRAMES = 256;

/// A retime node's ranges, inclusive at both ends, and its speed in input frames per output
/// frame. Produced by `retime_ranges`, read by `retime_pos`.
struct RetimeRanges {
  double in_first = 0;
  double in_last = 0;
  double out_first = 0;
  double out_last = 0;
  double speed = 1;
};

/// A frame number as a whole frame: floor(frame + 0.5) when `nearest`, else floor(frame + 1e-9)
/// (the 1e-9 turns 2.9999999999 into 3 but leaves 2.99 at 2).
QN_API long long whole(double frame, bool nearest);

/// Frame hold: with every > 0, frames are held in steps of `every` aligned to `first` (frames
/// before `first` fall to earlier steps); with every <= 0 the frame passes through. Rounded
/// with `whole`.
QN_API long long framehold_frame(double frame, double first, long long every, bool nearest);

/// Time offset: frame - offset, mirrored inside [first, last] when `reverse` (first + last
/// minus it; the sum is exact for every pair of int64). Rounded with `whole`.
QN_API long long timeoffset_frame(double frame, double offset, bool reverse, long long first,
                                  long long last, bool nearest);

/// Frame blend. Without `use_range`: frame, frame - 1, ... descending, max(count, 1) frames but
/// at most MAX_BLEND_FRAMES, and none below INT64_MIN (the list stops there). With `use_range`:
/// both bounds rounded to the nearest frame (ties to even), then lo .. hi ascending, at most
/// MAX_BLEND_FRAMES frames from the lower bound on.
QN_API std::vector<long long> frameblend_frames(long long frame, long long count, bool use_range,
                                                double range_a, double range_b);

/// Names for the edge modes of `edge_frame` and `retime_pos`, described at `edge_frame`.
inline constexpr int EDGE_PASS = 0;
inline constexpr int EDGE_LOOP = 1;
inline constexpr int EDGE_BOUNCE = 2;
inline constexpr int EDGE_HOLD = 3;
inline constexpr int EDGE_NONE = 4;

/// What `frame` becomes against the inclusive range [first, last] under an edge mode. Inside
/// the range every mode returns the frame itself. Outside it:
///
///   0 pass    the frame unchanged
///   1 loop    first + ((frame - first) mod (last - first + 1))
///   2 bounce  ping-pong with period 2 (last - first), reflected at both ends:
///             first=1, last=4:  ... 3 2 | 1 2 3 4 | 3 2 1 2 3 4 3 ...
///   3 hold    the nearer end
///   4 none    no frame
///
/// Any other mode, a loop over an empty range and a bounce over fewer than two frames hold.
QN_API std::optional<long long> edge_frame(long long frame, long long first, long long last,
                                           int mode);

/// A retime node's ranges. The input range defaults to the source range. With both output
/// ends given, the speed follows from the lengths (input length / output length) and the
/// `speed` argument is ignored; otherwise the output length is input length / speed (the input
/// length itself when |speed| <= 1e-9) and the output range starts at the given `out_first`
/// (or the input start), or ends at the given `out_last` when only that is given.
QN_API RetimeRanges retime_ranges(double src_first, double src_last, double in_first,
                                  bool has_in_first, double in_last, bool has_in_last,
                                  double out_first, bool has_out_first, double out_last,
                                  bool has_out_last, double speed);

/// The input position, in input frames from `in_first`, that output `frame` reads. Frames
/// before the output range go through `edge_frame` with mode `before`, frames after it with
/// mode `after`; no value when that mode gives no frame.
QN_API std::optional<double> retime_pos(long long frame, const RetimeRanges& ranges, int before,
                                        int after);

}  // namespace qn::nodes::time
