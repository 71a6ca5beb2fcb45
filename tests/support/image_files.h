// tests/support/image_files.h — writing real image files with OpenImageIO for the io suites.
//
// Pixels are always handed over as floats, interleaved per pixel, rows top to bottom, covering
// the ImageSpec's data window; OpenImageIO converts them to its `format` (or per-channel
// `channelformats`). Tiled files: set `tile_width`/`tile_height` in the ImageSpec. Compression:
// `spec.attribute("compression", "zip")`.
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace qn_test {

/// A deterministic, non-constant pattern of w*h*c floats (every value distinct within a
/// channel row, exactly representable as half for |seed| < 8).
std::vector<float> pattern(int w, int h, int c, float seed = 0.f);

/// Writes one subimage; returns false with OpenImageIO's error in *err.
bool write_image(const std::string& path, const OIIO::ImageSpec& spec,
                 const std::vector<float>& pixels, std::string* err = nullptr);

/// Writes several subimages (a multi-part EXR); pixels[i] goes with specs[i].
bool write_subimages(const std::string& path, const std::vector<OIIO::ImageSpec>& specs,
                     const std::vector<std::vector<float>>& pixels, std::string* err = nullptr);

}  // namespace qn_test
