#include "quarn/nodes/time/frame_mapping.h"

#include <algorithm>
#include <cmath>

#include "nodes/time/frame_math.h"

namespace qn::nodes::time {

using detail::floor_frame;
using detail::MIN_FRAME;
using detail::Wide;

long long whole(double frame, bool nearest) {
  return floor_frame(nearest ? frame + 0.5 : frame + 1e-9);
}

long long framehold_frame(double frame, double first, long long every, bool nearest) {
  double held = frame;
  if (every > 0) {
    const double step = static_cast<double>(every);
    held = first + step * std::floor((frame - first) / step);
  }
  return whole(held, nearest);
}

long long timeoffset_frame(double frame, double offset, bool reverse, long long first,
                           long long last, bool nearest) {
  double t = frame - offset;
  if (reverse) t = static_cast<double>(Wide{first} + last) - t;
  return whole(t, nearest);
}

std::vector<long long> frameblend_frames(long long frame, long long count, bool use_range,
                                         double range_a, double range_b) {
  std::vector<long long> frames;
  if (!use_range) {
    const Wide frames_down_to_min = Wide{frame} - MIN_FRAME + 1;
    const long long n = static_cast<long long>(
        std::min<Wide>(std::clamp(count, 1LL, MAX_BLEND_FRAMES), frames_down_to_min));
    frames.reserve(n);
    for (long long i = 0; i < n; ++i) frames.push_back(frame - i);
    return frames;
  }
  // nearbyint rounds ties to even under the default rounding mode.
  const long long a = detail::saturate(std::nearbyint(range_a));
  const long long b = detail::saturate(std::nearbyint(range_b));
  const long long lo = std::min(a, b);
  const long long n =
      static_cast<long long>(std::min<Wide>(Wide{std::max(a, b)} - lo + 1, MAX_BLEND_FRAMES));
  frames.reserve(n);
  for (long long i = 0; i < n; ++i) frames.push_back(lo + i);
  return frames;
}

std::optional<long long> edge_frame(long long frame, long long first, long long last, int mode) {
  if (first <= frame && frame <= last) return frame;
  if (mode == 0) return frame;
  if (mode == 4) return std::nullopt;
  // In 128 bits: lengths, periods and offsets of any int64 range cannot wrap, and every result
  // lies inside [first, last].
  const Wide offset = Wide{frame} - first;
  const Wide length = Wide{last} - first + 1;
  if (mode == 1 && length >= 1) {
    Wide r = offset % length;
    if (r < 0) r += length;
    return static_cast<long long>(first + r);
  }
  if (mode == 2 && length >= 2) {
    const Wide period = 2 * (Wide{last} - first);
    Wide r = offset % period;
    if (r < 0) r += period;
    return static_cast<long long>(r < length ? first + r : first + period - r);
  }
  return frame < first ? first : last;
}

RetimeRanges retime_ranges(double src_first, double src_last, double in_first, bool has_in_first,
                           double in_last, bool has_in_last, double out_first, bool has_out_first,
                           double out_last, bool has_out_last, double speed) {
  RetimeRanges r;
  r.in_first = has_in_first ? in_first : src_first;
  r.in_last = has_in_last ? in_last : src_last;
  const double in_length = r.in_last - r.in_first + 1;
  if (has_out_first && has_out_last) {
    r.out_first = out_first;
    r.out_last = out_last;
    r.speed = in_length / std::max(out_last - out_first + 1, 1e-9);
    return r;
  }
  r.speed = speed;
  const double out_length = std::abs(speed) > 1e-9 ? in_length / speed : in_length;
  if (has_out_last) {
    r.out_last = out_last;
    r.out_first = out_last - out_length + 1;
  } else {
    r.out_first = has_out_first ? out_first : r.in_first;
    r.out_last = r.out_first + out_length - 1;
  }
  return r;
}

std::optional<double> retime_pos(long long frame, const RetimeRanges& ranges, int before,
                                 int after) {
  const long long a = floor_frame(ranges.out_first + 1e-6);
  const long long b = floor_frame(ranges.out_last + 1e-6);
  std::optional<long long> f = frame;
  if (frame < a) {
    f = edge_frame(frame, a, b, before);
  } else if (frame > b) {
    f = edge_frame(frame, a, b, after);
  }
  if (!f) return std::nullopt;
  return (static_cast<double>(*f) - ranges.out_first) * ranges.speed;
}

}  // namespace qn::nodes::time
