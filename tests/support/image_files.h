// tests/support/image_files.h — image files for the io suites, written with OpenImageIO from
// interleaved floats, a deep file, and a header declaring pixels that are not there.
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace qn_test {

/// A w × h spec with the given channel names, all of pixel type `format`.
OIIO::ImageSpec named_spec(int w, int h, OIIO::TypeDesc format,
                           const std::vector<std::string>& names = {"R", "G", "B", "A"});

/// w*h*c interleaved floats, distinct along a row, exact as halves for |seed| < 8.
std::vector<float> pattern(int w, int h, int c, float seed = 0.f);

/// Writes specs[i] with pixels[i] as subimage i; false with OpenImageIO's error in *err.
bool write_subimages(const std::string& path, const std::vector<OIIO::ImageSpec>& specs,
                     const std::vector<std::vector<float>>& pixels, std::string* err = nullptr);

/// Writes a file of `spec` with `pattern` pixels (ADD_FAILURE when it cannot); returns `path`.
std::string write_pattern(const std::string& path, const OIIO::ImageSpec& spec);

/// A deep scanline EXR with channels R, G, B, A, Z; pixel (x, y) holds (x + y) % 3 samples.
std::string write_deep_exr(const std::string& path, int w, int h);

/// A scanline RGBA half EXR, uncompressed or DWAB, declaring w × h pixels with offsets past the
/// end: it opens, every pixel read fails.
std::string write_exr_header_only(const std::string& path, int w, int h, bool dwab = false);

}  // namespace qn_test
