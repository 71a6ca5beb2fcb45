// quarn/io/plain_decode.h — one whole image file into an RGBA float buffer, without a read plan.
//
// For files that need no plan: a single subimage, a flat (not deep, not volume) image of exactly
// four channels named "R", "G", "B", "A" in that order, whose data window is its display window
// (a 0 × 0 display window counts as equal). Everything else is refused as not plain; the layer
// loader reads other layouts. Half-float files are read as halves and widened by
// `half_to_float`, so their pixels are the exact widening of the stored bits; every other pixel
// format is converted to float by OpenImageIO.
//
// Owns nothing beyond the call: the result it fills belongs to the caller, and each call opens
// and releases its own input.
//
// Threads: stateless; any thread, any number of calls at once. Blocks for the whole read.
//
// Failures are reported through the result's `state` (see `DecodeResult`), never thrown —
// including an exception that escapes an OpenImageIO call, which becomes a failure with an error
// text naming it. Only the allocation of the result's own pixel buffer (or its half staging
// buffer) can throw: std::bad_array_new_length for a declared size no array can hold,
// std::bad_alloc when memory runs out; the input is released first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quarn/config.h"
#include "quarn/export.h"

// OpenImageIO's image description, declared without its headers, in the versioned namespace of
// the OpenImageIO the library was built with (quarn/config.h).
namespace QN_OIIO_NAMESPACE {
class ImageSpec;
}

namespace qn::io {

/// The values of `DecodeResult::state` and of `DecodeScheduler::state` (which adds −1, unknown).
inline constexpr int DECODE_QUEUED = 0;
inline constexpr int DECODE_RUNNING = 1;
inline constexpr int DECODE_DONE = 2;
inline constexpr int DECODE_NOT_PLAIN = 3;
inline constexpr int DECODE_OPEN_FAILED = 4;

/// What one decode produced. Default-constructed: every number 0, no mtime, no pixels, no spec,
/// no error. Move-only (it owns the pixel array).
///
///   state 0  queued               (set only by DecodeScheduler)
///         1  running              (set only by DecodeScheduler)
///         2  decoded              pixels, width, height and spec are set
///         3  not plain, or the read failed          error empty — or naming an exception
///            that escaped OpenImageIO, or the decode itself (see DecodeScheduler)
///         4  the file could not be opened           error = OpenImageIO's text
struct QN_API DecodeResult {
  std::int32_t state = 0;
  bool has_mtime = false;           // the file's status could be read and its mtime fits 64 bits
  std::int64_t mtime_ns = 0;        // seconds × 1e9 + nanoseconds since the epoch
  double stat_s = 0;                // time spent reading the file's status, in SECONDS
  std::unique_ptr<float[]> pixels;  // width × height × 4 floats, RGBA, rows top to bottom
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::shared_ptr<QN_OIIO_NAMESPACE::ImageSpec> spec;  // the file's spec, with its attributes
  std::string error;
  double read_ms = 0;     // from just before the open until the pixel read returned
  double convert_ms = 0;  // half widening time; set only for half files
};

/// Decodes `path` into `result`, which must be freshly constructed. `threads` is handed to
/// OpenImageIO as the open-time attribute "oiio:threads" (OpenEXR's own decoding pool is sized by
/// OpenImageIO's process-wide "exr_threads", which this call never changes).
QN_API void decode_plain(const std::string& path, int threads, DecodeResult& result);

}  // namespace qn::io
