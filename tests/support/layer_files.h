// tests/support/layer_files.h — image files the layer-loader suites need beyond image_files.h.
#pragma once

#include <cstdint>
#include <string>

namespace qn_test {

/// A deep scanline EXR of w × h pixels with channels R, G, B, A, Z; pixel (x, y) holds
/// (x + y) % 3 samples. Returns false with OpenImageIO's error in *err.
bool write_deep_exr(const std::string& path, int w, int h, std::string* err = nullptr);

/// An uncompressed scanline EXR header declaring a data window of w × h pixels with `channels`
/// half channels and no pixel data behind it: a file whose declared size no buffer need hold.
/// Written byte by byte (no library writes such a file). OpenEXR accepts windows within
/// ±INT_MAX / 2 and at most INT_MAX bytes per scanline; the file holds h offsets.
bool write_exr_header_only(const std::string& path, std::int32_t w, std::int32_t h, int channels);

}  // namespace qn_test
