// src/io/layer_bands.h — how the layer loader splits a tall scanline read into bands.
//
// A band is a run of whole compression chunks (32 rows, or 256 for DWAB), so no two bands
// decode the same chunk, and it holds at least two of them:
//
//   rows 0 ───────────── R ───────────── 2R ─────── … ───── H
//        │   band 0      │   band 1      │    …    │ last  │   R = ⌈H ÷ B⌉ rounded up to K
//        └─ K │ K │ K …  ┘                              (shorter)
//
// B, the number of bands asked for, is 16, or the value of "QUARN_NATIVE_IO_BANDS" read afresh
// each time, capped by the call's thread budget and by H ÷ (2K).
#pragma once

#include <cstdint>
#include <string>

namespace qn::io::detail {

/// Rows per compression chunk of a file whose "compression" attribute is `compression`.
int chunk_rows(const std::string& compression);

/// The number of bands asked for: 16, or "QUARN_NATIVE_IO_BANDS" parsed like strtol in base 10
/// (no digits gives 0) and clamped to the range of int.
int requested_bands();

struct Bands {
  std::int64_t count = 1;  // 1: read the image whole
  std::int64_t rows = 0;   // rows per band, the last band holds the rest
};

/// Bands for a scanline image of `height` rows with chunks of `chunk` rows under the budget
/// `threads` (0 or negative: no cap of ours). Never more bands than min(asked, threads).
Bands split_rows(std::int64_t height, int chunk, int threads);

}  // namespace qn::io::detail
