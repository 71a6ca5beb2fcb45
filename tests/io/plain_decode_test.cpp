#include "quarn/io/plain_decode.h"

#include <OpenImageIO/deepdata.h>
#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "quarn/core/image_read.h"
#include "quarn/io/half.h"
#include "support/decode_files.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using OIIO::TypeDesc;

qn::io::DecodeResult decode(const std::string& path, int threads = 0) {
  qn::io::DecodeResult r;
  qn::io::decode_plain(path, threads, r);
  return r;
}

class PlainDecode : public ::testing::Test {
 protected:
  qn_test::TempDir dir;

  std::string write(const std::string& name, const OIIO::ImageSpec& spec) {
    std::string path = dir.file(name), err;
    EXPECT_TRUE(qn_test::write_image(
        path, spec, qn_test::pattern(spec.width, spec.height, spec.nchannels), &err))
        << err;
    return path;
  }
};

TEST_F(PlainDecode, RgbaHalfFileDecodesThroughTheHalfPath) {
  const auto path = qn_test::write_rgba(dir.file("rgba_half.exr"), 33, 17, TypeDesc::HALF);
  for (int threads : {0, 1, 3}) {
    auto r = decode(path, threads);
    ASSERT_EQ(r.state, 2);
    EXPECT_EQ(r.width, 33);
    EXPECT_EQ(r.height, 17);
    ASSERT_TRUE(r.pixels);
    ASSERT_TRUE(r.spec);
    EXPECT_EQ(r.spec->format, TypeDesc::HALF);
    EXPECT_TRUE(r.error.empty());
    EXPECT_GT(r.convert_ms, 0.0);
    EXPECT_GT(r.read_ms, 0.0);
    EXPECT_TRUE(r.has_mtime);
    const auto want = qn_test::pattern(33, 17, 4);  // exact in halves
    EXPECT_EQ(std::memcmp(r.pixels.get(), want.data(), want.size() * 4), 0);
  }
}

// Float files, mixed half+float channels, tiles, 8- and 16-bit formats: OpenImageIO converts,
// and the half widening is not involved.
TEST_F(PlainDecode, OtherPixelFormatsTakeTheFloatPath) {
  OIIO::ImageSpec mixed = qn_test::named_spec(20, 10, TypeDesc::FLOAT);
  mixed.channelformats = {TypeDesc::HALF, TypeDesc::FLOAT, TypeDesc::HALF, TypeDesc::HALF};
  OIIO::ImageSpec tiled = qn_test::named_spec(40, 24, TypeDesc::HALF);
  tiled.tile_width = tiled.tile_height = 16;
  OIIO::ImageSpec zip = qn_test::named_spec(20, 10, TypeDesc::FLOAT);
  zip.attribute("compression", "zip");
  const struct {
    const char* name;
    OIIO::ImageSpec spec;
    bool half;
  } cases[] = {
      {"float.exr", zip, false},
      {"mixed.exr", mixed, false},
      {"tiled.exr", tiled, true},
      {"rgba.png", qn_test::named_spec(20, 10, TypeDesc::UINT8), false},
      {"rgba.tif", qn_test::named_spec(20, 10, TypeDesc::UINT16), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = write(c.name, c.spec);
    auto r = decode(path);
    ASSERT_EQ(r.state, 2);
    EXPECT_EQ(r.width, c.spec.width);
    EXPECT_EQ(r.height, c.spec.height);
    EXPECT_EQ(r.convert_ms > 0.0, c.half);
    // The same pixels OpenImageIO's own float conversion gives.
    const auto ref = qn::oiio_read_float(path);
    ASSERT_EQ(ref.error, "");
    ASSERT_EQ(ref.data.size(), static_cast<size_t>(r.width) * r.height * 4);
    EXPECT_EQ(std::memcmp(r.pixels.get(), ref.data.data(), ref.data.size() * 4), 0);
  }
}

TEST_F(PlainDecode, RefusesWhatIsNotPlainWithStateThreeAndNoError) {
  OIIO::ImageSpec shifted = qn_test::named_spec(16, 16, TypeDesc::HALF);
  shifted.x = 1;  // data window one pixel right of the display window
  OIIO::ImageSpec smaller = qn_test::named_spec(16, 16, TypeDesc::HALF);
  smaller.full_width = 17;
  OIIO::ImageSpec deep = qn_test::named_spec(8, 8, TypeDesc::HALF);
  deep.deep = true;
  const struct {
    const char* name;
    OIIO::ImageSpec spec;
  } cases[] = {
      {"lower.exr", qn_test::named_spec(16, 16, TypeDesc::HALF, {"r", "g", "b", "a"})},
      {"rgbz.exr", qn_test::named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B", "Z"})},
      {"rgb.exr", qn_test::named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B"})},
      {"rgbaz.exr", qn_test::named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B", "A", "Z"})},
      {"shifted.exr", shifted},
      {"smaller.exr", smaller},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode(write(c.name, c.spec));
    EXPECT_EQ(r.state, 3);
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(r.pixels);
    EXPECT_FALSE(r.spec);
    EXPECT_EQ(r.width, 0);
  }

  // A deep file and a file with a second subimage.
  std::string err;
  const auto deep_path = dir.file("deep.exr");
  {
    auto out = OIIO::ImageOutput::create(deep_path);
    ASSERT_TRUE(out && out->open(deep_path, deep));
    OIIO::DeepData dd(deep);
    ASSERT_TRUE(out->write_deep_image(dd));
    out->close();
  }
  const auto two = dir.file("two.exr");
  auto spec = qn_test::named_spec(8, 8, TypeDesc::HALF);
  ASSERT_TRUE(qn_test::write_subimages(
      two, {spec, spec}, {qn_test::pattern(8, 8, 4), qn_test::pattern(8, 8, 4)}, &err))
      << err;
  for (const auto& path : {deep_path, two}) {
    SCOPED_TRACE(path);
    auto r = decode(path);
    EXPECT_EQ(r.state, 3);
    EXPECT_EQ(r.error, "");
  }
}

TEST_F(PlainDecode, ZeroDisplayWindowCountsAsEqual) {
  OIIO::ImageSpec spec = qn_test::named_spec(12, 6, TypeDesc::FLOAT);
  spec.full_width = spec.full_height = 0;
  auto r = decode(write("zero_display.tif", spec));
  EXPECT_EQ(r.state, 2);
}

TEST_F(PlainDecode, MissingFileIsAFailedOpenWithTheLibrarysText) {
  const auto path = dir.file("nowhere.exr");
  auto r = decode(path);
  EXPECT_EQ(r.state, 4);
  EXPECT_NE(r.error.find("nowhere.exr"), std::string::npos) << r.error;
  EXPECT_FALSE(r.has_mtime);
  EXPECT_FALSE(r.pixels);
  // The global error text was consumed: the next failure reports only itself.
  auto again = decode(dir.file("elsewhere.exr"));
  EXPECT_EQ(again.error.find("nowhere.exr"), std::string::npos) << again.error;
}

TEST_F(PlainDecode, ModificationTimeInNanoseconds) {
  const auto path = qn_test::write_rgba(dir.file("t.exr"), 4, 4);
  const timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  auto r = decode(path);
  EXPECT_TRUE(r.has_mtime);
  EXPECT_EQ(r.mtime_ns, 1700000000123456789);
  EXPECT_GE(r.stat_s, 0.0);
  EXPECT_LT(r.stat_s, 1.0);  // seconds, not milliseconds
}

// Year 2300: seconds × 10^9 no longer fits 64 bits. Unknown, rather than a wrapped time.
TEST_F(PlainDecode, ModificationTimeBeyondSixtyFourBitsIsUnknown) {
  const auto path = qn_test::write_rgba(dir.file("future.exr"), 4, 4);
  int tried = 0;
  for (time_t seconds : {time_t{10413792000}, time_t{-10413792000}}) {
    const timespec times[2] = {{seconds, 5}, {seconds, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    if (st.st_mtim.tv_sec != seconds) continue;  // this file system clamps such times
    ++tried;
    auto r = decode(path);
    EXPECT_FALSE(r.has_mtime) << seconds;
    EXPECT_EQ(r.mtime_ns, 0);
    EXPECT_EQ(r.state, 2);  // decoding goes on
  }
  if (tried == 0) GTEST_SKIP() << "this file system clamps times beyond 64-bit nanoseconds";
}

// A header that declares 100000 × 100000 pixels: 160 GB of floats cannot be had.
TEST_F(PlainDecode, DeclaredSizeBeyondMemoryThrowsTheAllocationFailure) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  const auto path = qn_test::write_exr_header_only(dir.file("huge.exr"), 100000);
  qn::io::DecodeResult r;
  EXPECT_THROW(qn::io::decode_plain(path, 0, r), std::bad_alloc);
  EXPECT_FALSE(r.pixels);
}

TEST_F(PlainDecode, FailedPixelReadIsStateThreeWithoutError) {
  auto r = decode(qn_test::write_exr_header_only(dir.file("hollow.exr"), 300));
  EXPECT_EQ(r.state, 3);
  EXPECT_EQ(r.error, "");
  EXPECT_GT(r.read_ms, 0.0);
  EXPECT_FALSE(r.pixels);
  EXPECT_FALSE(r.spec);
}

// A volume's read would fill depth times the buffer of one slice. OpenImageIO's "null" reader
// makes a 4 × 4 × 3 RGBA volume from the name alone.
TEST(PlainDecodeVolumes, VolumeImagesAreNotPlain) {
  const std::string volume = "volume.null?RES=4x4x3&CHANNELS=4&TYPE=float";
  EXPECT_EQ(decode(volume).state, 3);
  const auto image = qn::oiio_read_float(volume);
  EXPECT_EQ(image.error, "volume images are not supported");
  EXPECT_EQ(image.channels, 4);
  EXPECT_TRUE(image.data.empty());
}

// Every half pattern of the sample file, stored as RGBA halves, comes back as exactly the
// widening of those bits (NaN payloads included).
TEST(PlainDecodeRealFiles, AllHalfValuesComeBackBitIdentical) {
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const auto all = (root / "TestImages" / "AllHalfValues.exr").string();
  auto in = OIIO::ImageInput::open(all);
  ASSERT_TRUE(in);
  const auto& spec = in->spec();
  ASSERT_EQ(spec.nchannels, 3);
  std::vector<unsigned short> rgb(static_cast<size_t>(spec.width) * spec.height * 3);
  ASSERT_TRUE(in->read_image(0, 0, 0, 3, TypeDesc::HALF, rgb.data()));
  in->close();

  // oiio_read_float converts the RGB file itself.
  std::vector<float> want(rgb.size());
  qn::io::half_to_float_scalar(rgb.data(), want.data(), rgb.size());
  const auto read = qn::oiio_read_float(all);
  ASSERT_EQ(read.error, "");
  ASSERT_EQ(std::memcmp(read.data.data(), want.data(), want.size() * 4), 0);

  // decode_plain needs RGBA: the same halves with an alpha of every pattern as well.
  qn_test::TempDir dir;
  std::vector<unsigned short> rgba;
  for (size_t p = 0; p < rgb.size() / 3; ++p) {
    rgba.insert(rgba.end(), {rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2]});
    rgba.push_back(static_cast<unsigned short>(p * 7));
  }
  const auto path = dir.file("all_rgba.exr");
  ASSERT_TRUE(qn_test::write_half_exr(path, spec.width, spec.height, {"R", "G", "B", "A"}, rgba));
  auto r = decode(path);
  ASSERT_EQ(r.state, 2);
  std::vector<float> want_rgba(rgba.size());
  qn::io::half_to_float_scalar(rgba.data(), want_rgba.data(), rgba.size());
  EXPECT_EQ(std::memcmp(r.pixels.get(), want_rgba.data(), want_rgba.size() * 4), 0);
}

// Files nobody here wrote: each gives a clean result or a clean refusal, and a decoded one
// agrees with OpenImageIO's own conversion.
TEST(PlainDecodeRealFiles, EverySampleFileDecodesOrIsRefusedCleanly) {
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  int decoded = 0;
  for (const auto& file : qn_test::files_under(root)) {
    if (file.extension() != ".exr") continue;  // Damaged/ has its own suite
    SCOPED_TRACE(file.string());
    auto r = decode(file.string());
    const auto read = qn::oiio_read_float(file.string());
    ASSERT_TRUE(r.state == 2 || r.state == 3) << r.state << " " << r.error;
    if (r.state != 2) continue;
    ++decoded;
    ASSERT_EQ(read.error, "");
    ASSERT_EQ(read.channels, 4);
    ASSERT_EQ(read.data.size(), static_cast<size_t>(r.width) * r.height * 4);
    EXPECT_EQ(std::memcmp(r.pixels.get(), read.data.data(), read.data.size() * 4), 0);
  }
  EXPECT_GE(decoded, 2);  // Desk.exr and stripes.exr are plain RGBA
}

}  // namespace
