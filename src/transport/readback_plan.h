// transport/readback_plan.h — the arithmetic of one readback (internal): how many bytes, how
// big a buffer, how the rows split into fenced bands, and how a band splits into copy tasks.
//
// Bands: one below 4 MiB; otherwise one per whole 4 MiB of the image, at most 8, every band
// but the last of the same row count (rounded up). A 1920 × 1080 RGBA float image:
//
//   bytes = 1920 × 4 × 4 × 1080 = 33,177,600   → 7 bands (7.9 × 4 MiB, rounded down)
//   rows per band = ceil(1080 / 7) = 155        → 6 × 155 rows (4,761,600 bytes) + 150 rows
//   buffer = 33,177,600 rounded up to MiB       → 32 MiB
//   copy tasks of a 155-row band                → 4 × 1 MiB + 567,296 bytes
//
// Sizes that cannot be read soundly are refused here rather than wrapped: a byte count past
// 64 bits, a buffer past GL's signed size type, rows whose y coordinate passes INT_MAX.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

namespace qn::transport::detail {

constexpr std::uint64_t MIB = 1u << 20;
constexpr std::uint64_t BAND_BYTES = 4 * MIB;
constexpr int MAX_BANDS = 8;
constexpr std::uint64_t COPY_TASK_BYTES = MIB;

struct ReadbackPlan {
  std::uint64_t row_bytes = 0;
  std::uint64_t bytes = 0;
  std::uint64_t buffer_bytes = 0;  // `bytes` rounded up to whole MiB
  int bands = 0;                   // upper bound: rounding rows up may use fewer
  int rows_per_band = 0;
};

/// False when the rectangle cannot be read soundly (see the banner); `width`, `height` ≥ 1 and
/// `channels` ∈ {2, 4} are checked by the caller.
inline bool plan_readback(int y, int width, int height, int channels, ReadbackPlan* plan) {
  const std::uint64_t row_bytes = std::uint64_t(width) * std::uint64_t(channels) * 4;
  if (std::uint64_t(height) > UINT64_MAX / row_bytes) return false;
  const std::uint64_t bytes = row_bytes * std::uint64_t(height);
  if (bytes > std::uint64_t(INT64_MAX) - (MIB - 1)) return false;
  if (std::int64_t(y) + std::int64_t(height) - 1 > INT_MAX) return false;
  plan->row_bytes = row_bytes;
  plan->bytes = bytes;
  plan->buffer_bytes = (bytes + MIB - 1) / MIB * MIB;
  plan->bands =
      bytes < BAND_BYTES ? 1 : int(std::min<std::uint64_t>(bytes / BAND_BYTES, MAX_BANDS));
  plan->rows_per_band =
      int((std::uint64_t(height) + std::uint64_t(plan->bands) - 1) / std::uint64_t(plan->bands));
  return true;
}

/// Calls `emit(offset, bytes)` for consecutive pieces of a band of `band_bytes`, each of
/// COPY_TASK_BYTES but a shorter last one; nothing for an empty band.
template <class Emit>
void split_copy(std::uint64_t band_bytes, Emit&& emit) {
  for (std::uint64_t k = 0; k < band_bytes; k += COPY_TASK_BYTES)
    emit(k, std::min(COPY_TASK_BYTES, band_bytes - k));
}

}  // namespace qn::transport::detail
