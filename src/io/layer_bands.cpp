#include "io/layer_bands.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace qn::io::detail {

namespace {
constexpr int kDefaultBands = 16;
constexpr int kChunkRows = 32;
constexpr int kDwabChunkRows = 256;
}  // namespace

int chunk_rows(const std::string& compression) {
  return compression.compare(0, 4, "dwab") == 0 ? kDwabChunkRows : kChunkRows;
}

int requested_bands() {
  const char* text = std::getenv("QUARN_NATIVE_IO_BANDS");
  if (text == nullptr) return kDefaultBands;
  long value = std::strtol(text, nullptr, 10);  // saturates at LONG_MIN/LONG_MAX
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

Bands split_rows(std::int64_t height, int chunk, int threads) {
  std::int64_t asked = requested_bands();
  if (threads > 0) asked = std::min<std::int64_t>(asked, threads);
  asked = std::min(asked, height / (2 * std::int64_t{chunk}));
  if (asked < 2) return {};
  std::int64_t rows = (height + asked - 1) / asked + chunk - 1;
  rows -= rows % chunk;
  return {(height + rows - 1) / rows, rows};
}

}  // namespace qn::io::detail
