// Real files nobody here wrote, through every reader: each gives the pixels OpenImageIO reads
// itself, or a clean refusal.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "quarn/core/image_read.h"
#include "quarn/io/half.h"
#include "quarn/io/layer_loader.h"
#include "quarn/io/plain_decode.h"
#include "support/decode_files.h"
#include "support/temp_dir.h"

namespace {

using qn::io::Read;
using qn::io::Slot;
namespace fs = std::filesystem;

// The four channels of a frame taken from channels 0..nch-1 of read 0, `fill` beyond.
std::array<Slot, 4> first_channels(int nch, float fill = 0.f) {
  std::array<Slot, 4> row;
  for (int c = 0; c < 4; ++c) row[c] = c < nch ? Slot{0, c, 0.f} : Slot{-1, 0, fill};
  return row;
}

// Whether RGBA frame `frame` holds channels 0..nch-1 of `want` (`stride` channels a pixel) bit
// for bit, and `fill` beyond.
bool same_bits(const std::vector<float>& frame, const std::vector<float>& want, int nch, int stride,
               float fill) {
  for (std::size_t p = 0; p < frame.size() / 4; ++p)
    for (int c = 0; c < 4; ++c) {
      const float expected = c < nch ? want[p * stride + c] : fill;
      if (std::memcmp(&frame[p * 4 + c], &expected, 4) != 0) return false;
    }
  return true;
}

TEST(RealFiles, EverySampleFileReadsAsTheLibraryReadsIt) {
  const fs::path root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  int files = 0, frames = 0, decoded = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const fs::path& file = e.path();
    if (file.extension() != ".exr" || file.parent_path().filename() == "Damaged") continue;
    const std::string path = file.string();
    SCOPED_TRACE(path);
    ++files;
    auto in = OIIO::ImageInput::open(path);
    ASSERT_TRUE(in) << OIIO::geterror();
    for (int s = 0; in->seek_subimage(s, 0); ++s) {
      const OIIO::ImageSpec spec = in->spec();
      const int w = spec.width, h = spec.height, nch = std::min(spec.nchannels, 4);
      std::vector<float> frame(std::size_t(w) * h * 4);
      std::string err;
      const bool ok = qn::io::load_layers(path, {Read{s, 0, nch, 0, 0, w, h}},
                                          {first_channels(nch)}, w, h, 0, {frame.data()}, err);
      if (spec.deep) {
        EXPECT_FALSE(ok);
        EXPECT_FALSE(err.empty());
        continue;
      }
      ASSERT_TRUE(ok) << err;
      std::vector<float> want(std::size_t(w) * h * spec.nchannels);
      ASSERT_TRUE(in->read_image(s, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, want.data()));
      if (s == 0) {
        const auto image = qn::oiio_read_float(path);
        EXPECT_EQ(image.error, "");
        EXPECT_TRUE(image.data.size() == want.size() &&
                    std::memcmp(image.data.data(), want.data(), want.size() * 4) == 0);
        qn::io::DecodeResult r;
        qn::io::decode_plain(path, 0, r);
        ASSERT_TRUE(r.state == 2 || r.state == 3) << r.state << " " << r.error;
        if (r.state == 2) {
          ++decoded;
          ASSERT_EQ(nch, 4);
          EXPECT_EQ(std::memcmp(r.pixels.get(), want.data(), want.size() * 4), 0);
        }
      }
      EXPECT_TRUE(same_bits(frame, want, nch, spec.nchannels, 0.f)) << "subimage " << s;
      ++frames;
    }
  }
  EXPECT_GE(files, 25);
  EXPECT_GT(frames, 30);
  EXPECT_GE(decoded, 2);  // Desk.exr and stripes.exr are plain RGBA
}

// Every half pattern, NaN payloads and infinities included, widens to exactly the scalar
// conversion of its stored bits (half_test proves that conversion) through every reader.
TEST(RealFiles, AllHalfValuesComeBackBitExact) {
  const fs::path root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const std::string path = (root / "TestImages" / "AllHalfValues.exr").string();
  auto in = OIIO::ImageInput::open(path);
  ASSERT_TRUE(in) << OIIO::geterror();
  const int w = in->spec().width, h = in->spec().height;
  ASSERT_EQ(in->spec().nchannels, 3);
  std::vector<unsigned short> rgb(std::size_t(w) * h * 3);
  ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::HALF, rgb.data()));
  std::vector<bool> seen(65536);
  for (auto bits : rgb) seen[bits] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 65536);
  std::vector<float> want(rgb.size());
  qn::io::half_to_float_scalar(rgb.data(), want.data(), rgb.size());

  const auto image = qn::oiio_read_float(path);
  ASSERT_EQ(image.error, "");
  EXPECT_TRUE(image.data.size() == want.size() &&
              std::memcmp(image.data.data(), want.data(), want.size() * 4) == 0);

  std::vector<float> frame(std::size_t(w) * h * 4);
  std::string err;
  ASSERT_TRUE(qn::io::load_layers(path, {Read{0, 0, 3, 0, 0, w, h}}, {first_channels(3, 1.f)}, w, h,
                                  0, {frame.data()}, err))
      << err;
  EXPECT_TRUE(same_bits(frame, want, 3, 3, 1.f));

  // decode_plain needs RGBA: the same halves, with an alpha of every pattern as well.
  std::vector<unsigned short> rgba;
  for (std::size_t p = 0; p < rgb.size() / 3; ++p)
    rgba.insert(rgba.end(),
                {rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2], static_cast<unsigned short>(p * 7)});
  qn_test::TempDir dir;
  const std::string copy = dir.file("all_rgba.exr");
  auto out = OIIO::ImageOutput::create(copy);
  ASSERT_TRUE(out && out->open(copy, qn_test::named_spec(w, h, OIIO::TypeDesc::HALF)) &&
              out->write_image(OIIO::TypeDesc::HALF, rgba.data()) && out->close());
  qn::io::DecodeResult r;
  qn::io::decode_plain(copy, 0, r);
  ASSERT_EQ(r.state, 2);
  std::vector<float> want_rgba(rgba.size());
  qn::io::half_to_float_scalar(rgba.data(), want_rgba.data(), rgba.size());
  EXPECT_EQ(std::memcmp(r.pixels.get(), want_rgba.data(), want_rgba.size() * 4), 0);
}

}  // namespace
