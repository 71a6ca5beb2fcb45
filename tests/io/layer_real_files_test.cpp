// Real files nobody here wrote, through load_layers: every subimage of every sample file whose
// plan fits gives the pixels OpenImageIO reads itself, or a clean failure (deep data).
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "quarn/io/layer_loader.h"
#include "support/temp_dir.h"

namespace {

using qn::io::Read;
using qn::io::Slot;
using Row = std::array<Slot, 4>;
namespace fs = std::filesystem;

std::vector<fs::path> sample_files(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path().extension() == ".exr" &&
        e.path().parent_path().filename() != "Damaged")
      files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

// The four channels of a frame taken from channels 0..nch-1 of read 0, constant 0 beyond.
Row first_channels(int nch) {
  Row row;
  for (int c = 0; c < 4; ++c) row[c] = c < nch ? Slot{0, c, 0.f} : Slot{-1, 0, 0.f};
  return row;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The float of a half's bits, from the IEEE layouts alone: subnormals scaled exactly, every
// other pattern (infinities and NaN payloads included) by moving the fields.
float widen(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h >> 15) << 31, exp = (h >> 10) & 31,
                      man = h & 1023;
  if (exp == 0) return std::copysign(std::ldexp(static_cast<float>(man), -24), sign ? -1.f : 1.f);
  const std::uint32_t e = exp == 31 ? 255 : exp + 112;
  return std::bit_cast<float>(sign | e << 23 | man << 13);
}

TEST(LayerLoaderRealFiles, EverySubimageReadsAsTheLibraryReadsIt) {
  const fs::path root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const auto files = sample_files(root);
  ASSERT_GE(files.size(), 25u);
  int frames = 0;
  for (const fs::path& file : files) {
    const std::string path = file.string();
    SCOPED_TRACE(path);
    auto in = OIIO::ImageInput::open(path);
    ASSERT_TRUE(in) << OIIO::geterror();
    for (int s = 0; in->seek_subimage(s, 0); ++s) {
      const OIIO::ImageSpec spec = in->spec();
      const int w = spec.width, h = spec.height, nch = std::min(spec.nchannels, 4);
      SCOPED_TRACE("subimage " + std::to_string(s));
      std::vector<float> frame(std::size_t(w) * h * 4, -7.f);
      std::string err;
      bool ok = qn::io::load_layers(path, {Read{s, 0, nch, 0, 0, w, h}}, {first_channels(nch)}, w,
                                    h, 0, {frame.data()}, err);
      if (spec.deep) {
        EXPECT_FALSE(ok);
        EXPECT_FALSE(err.empty());
        continue;
      }
      ASSERT_TRUE(ok) << err;
      std::vector<float> want(std::size_t(w) * h * nch);
      ASSERT_TRUE(in->read_image(s, 0, 0, nch, OIIO::TypeDesc::FLOAT, want.data()));
      for (std::size_t p = 0; p < std::size_t(w) * h; ++p)
        for (int c = 0; c < 4; ++c) {
          const float expected = c < nch ? want[p * nch + c] : 0.f;
          if (!same_bits(frame[p * 4 + c], expected))
            FAIL() << "pixel " << p << " channel " << c << ": " << frame[p * 4 + c] << " vs "
                   << expected;
        }
      ++frames;
    }
  }
  EXPECT_GT(frames, 30);
}

// Every half pattern, NaNs and infinities included, widens to exactly the float of its bits.
TEST(LayerLoaderRealFiles, AllHalfValuesComeBackBitExact) {
  const fs::path root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const std::string path = (root / "TestImages" / "AllHalfValues.exr").string();
  auto in = OIIO::ImageInput::open(path);
  ASSERT_TRUE(in) << OIIO::geterror();
  const OIIO::ImageSpec spec = in->spec();
  const int w = spec.width, h = spec.height, nch = std::min(spec.nchannels, 4);
  std::vector<std::uint16_t> stored(std::size_t(w) * h * nch);
  ASSERT_TRUE(in->read_image(0, 0, 0, nch, OIIO::TypeDesc::HALF, stored.data()));
  std::vector<float> frame(std::size_t(w) * h * 4);
  std::string err;
  ASSERT_TRUE(qn::io::load_layers(path, {Read{0, 0, nch, 0, 0, w, h}}, {first_channels(nch)}, w, h,
                                  0, {frame.data()}, err))
      << err;
  std::vector<bool> seen(65536);
  for (std::size_t p = 0; p < std::size_t(w) * h; ++p)
    for (int c = 0; c < nch; ++c) {
      const std::uint16_t bits = stored[p * nch + c];
      seen[bits] = true;
      ASSERT_TRUE(same_bits(frame[p * 4 + c], widen(bits))) << "half bits " << std::hex << bits;
    }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 65536);
}

}  // namespace
