// tests/support/image_files.h — image files for the io suites, written with OpenImageIO from
// floats (interleaved per pixel, rows top to bottom, covering the data window), and two that no
// library writes: a deep file and a header declaring a size no buffer need hold.
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace qn_test {

/// A w × h spec with the given channel names, all of pixel type `format`.
OIIO::ImageSpec named_spec(int w, int h, OIIO::TypeDesc format,
                           const std::vector<std::string>& names = {"R", "G", "B", "A"});

/// A deterministic pattern of w*h*c floats, distinct along a row, exact as halves for |seed| < 8.
std::vector<float> pattern(int w, int h, int c, float seed = 0.f);

/// Writes specs[i] with pixels[i] as subimage i; false with OpenImageIO's error in *err.
bool write_subimages(const std::string& path, const std::vector<OIIO::ImageSpec>& specs,
                     const std::vector<std::vector<float>>& pixels, std::string* err = nullptr);

/// Writes a file of `spec` with `pattern` pixels (ADD_FAILURE when it cannot); returns `path`.
std::string write_pattern(const std::string& path, const OIIO::ImageSpec& spec, float seed = 0.f);

/// A deep scanline EXR with channels R, G, B, A, Z; pixel (x, y) holds (x + y) % 3 samples.
std::string write_deep_exr(const std::string& path, int w, int h);

/// A scanline RGBA half EXR, uncompressed or DWAB, whose header declares w × h pixels (data and
/// display window alike) and whose offsets point past the end: it opens, every pixel read fails.
std::string write_exr_header_only(const std::string& path, int w, int h, bool dwab = false);

/// True where the sanitizer's allocator aborts on an allocation it cannot satisfy instead of
/// throwing std::bad_alloc: tests of allocation failures skip there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAllocationFailureAborts = true;
#else
constexpr bool kAllocationFailureAborts = false;
#endif

}  // namespace qn_test
