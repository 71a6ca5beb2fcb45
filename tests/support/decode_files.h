// tests/support/decode_files.h — image files for the io suites beyond image_files.h: RGBA specs,
// a deep file, and a header declaring a size no buffer need hold (no library writes one).
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace qn_test {

/// A w × h spec with the given channel names, all of pixel type `format`.
OIIO::ImageSpec named_spec(int w, int h, OIIO::TypeDesc format,
                           const std::vector<std::string>& names = {"R", "G", "B", "A"});

/// Writes a file of `spec` with `pattern` pixels (ADD_FAILURE when it cannot); returns `path`.
std::string write_pattern(const std::string& path, const OIIO::ImageSpec& spec, float seed = 0.f);

/// A deep scanline EXR with channels R, G, B, A, Z; pixel (x, y) holds (x + y) % 3 samples.
std::string write_deep_exr(const std::string& path, int w, int h);

/// An uncompressed scanline RGBA half EXR whose header declares w × h pixels (data and display
/// window alike) and whose offsets point past the end: it opens, every pixel read fails.
std::string write_exr_header_only(const std::string& path, int w, int h);

/// True where the sanitizer's allocator aborts on an allocation it cannot satisfy instead of
/// throwing std::bad_alloc: tests of allocation failures skip there.
bool allocation_failure_aborts();

}  // namespace qn_test
