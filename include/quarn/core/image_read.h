// quarn/core/image_read.h — one call that reads an image's first subimage into floats.
//
// The simplest reader: no plan, no channel layout rules. Whatever OpenImageIO can read comes
// back as its first subimage's data window, every channel, converted to float.
//
// Owns nothing beyond the call; the returned image is the caller's. Threads: stateless; any
// thread, any number at once. Blocks for the whole read.
//
// Failures: an unreadable file never throws. `error` is empty on success and holds OpenImageIO's
// text otherwise (or names an exception that escaped OpenImageIO), so callers test `error`
// first: a failed open leaves every other field zero or empty; a failed read leaves the size
// fields set and `data` zero-filled or partly read. Only the allocation of `data` throws:
// std::bad_array_new_length for a declared size no array can hold, std::bad_alloc when memory
// runs out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quarn/export.h"

namespace qn {

/// A whole image: `data` holds width × height × channels floats, pixel-interleaved, rows top to
/// bottom.
struct FloatImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t channels = 0;
  std::vector<float> data;
  std::string error;
};

/// Reads the first subimage (MIP level 0) of `path`, all channels, as float.
QN_API FloatImage oiio_read_float(const std::string& path);

}  // namespace qn
