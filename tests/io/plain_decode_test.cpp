#include "quarn/io/plain_decode.h"

#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "quarn/core/image_read.h"
#include "support/decode_files.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using OIIO::TypeDesc;
using qn_test::named_spec;

qn::io::DecodeResult decode(const std::string& path, int threads = 0) {
  qn::io::DecodeResult r;
  qn::io::decode_plain(path, threads, r);
  return r;
}

class PlainDecode : public ::testing::Test {
 protected:
  qn_test::TempDir dir;

  std::string write(const std::string& name, const OIIO::ImageSpec& spec) {
    return qn_test::write_pattern(dir.file(name), spec);
  }
};

// RGBA halves widen through the half path; every other format OpenImageIO converts, giving the
// pixels its own float conversion gives.
TEST_F(PlainDecode, PlainFilesDecodeAsOpenImageIOReadsThem) {
  OIIO::ImageSpec mixed = named_spec(20, 10, TypeDesc::FLOAT);
  mixed.channelformats = {TypeDesc::HALF, TypeDesc::FLOAT, TypeDesc::HALF, TypeDesc::HALF};
  OIIO::ImageSpec tiled = named_spec(40, 24, TypeDesc::HALF);
  tiled.tile_width = tiled.tile_height = 16;
  OIIO::ImageSpec zero_display = named_spec(12, 6, TypeDesc::FLOAT);  // 0 × 0 counts as equal
  zero_display.full_width = zero_display.full_height = 0;
  const struct {
    const char* name;
    OIIO::ImageSpec spec;
    bool half;
  } cases[] = {
      {"half.exr", named_spec(33, 17, TypeDesc::HALF), true},
      {"tiled.exr", tiled, true},
      {"float.exr", named_spec(20, 10, TypeDesc::FLOAT), false},
      {"mixed.exr", mixed, false},
      {"rgba.png", named_spec(20, 10, TypeDesc::UINT8), false},
      {"zero_display.tif", zero_display, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = write(c.name, c.spec);
    auto r = decode(path);
    ASSERT_EQ(r.state, 2);
    EXPECT_EQ(r.width, c.spec.width);
    EXPECT_EQ(r.height, c.spec.height);
    ASSERT_TRUE(r.pixels && r.spec);
    EXPECT_EQ(r.spec->format, c.spec.format);
    EXPECT_TRUE(r.error.empty());
    EXPECT_EQ(r.convert_ms > 0.0, c.half);
    EXPECT_GT(r.read_ms, 0.0);
    EXPECT_TRUE(r.has_mtime);
    const auto ref = qn::oiio_read_float(path);
    ASSERT_EQ(ref.data.size(), size_t(r.width) * r.height * 4) << ref.error;
    EXPECT_EQ(std::memcmp(r.pixels.get(), ref.data.data(), ref.data.size() * 4), 0);
  }
}

TEST_F(PlainDecode, RefusesWhatIsNotPlainWithStateThreeAndNoError) {
  OIIO::ImageSpec shifted = named_spec(16, 16, TypeDesc::HALF);
  shifted.x = 1;  // data window one pixel right of the display window
  OIIO::ImageSpec smaller = named_spec(16, 16, TypeDesc::HALF);
  smaller.full_width = 17;
  const struct {
    const char* name;
    OIIO::ImageSpec spec;
  } cases[] = {
      {"lower.exr", named_spec(16, 16, TypeDesc::HALF, {"r", "g", "b", "a"})},
      {"rgbz.exr", named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B", "Z"})},
      {"rgb.exr", named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B"})},
      {"rgbaz.exr", named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B", "A", "Z"})},
      {"shifted.exr", shifted},
      {"smaller.exr", smaller},
  };
  std::vector<std::string> paths;
  for (const auto& c : cases) paths.push_back(write(c.name, c.spec));
  paths.push_back(qn_test::write_deep_exr(dir.file("deep.exr"), 8, 8));
  std::string err;
  const auto spec = named_spec(8, 8, TypeDesc::HALF);
  paths.push_back(dir.file("two.exr"));
  ASSERT_TRUE(qn_test::write_subimages(
      paths.back(), {spec, spec}, {qn_test::pattern(8, 8, 4), qn_test::pattern(8, 8, 4)}, &err))
      << err;
  // A header that opens but whose pixels do not read.
  paths.push_back(qn_test::write_exr_header_only(dir.file("hollow.exr"), 300, 300));
  // A volume: its read would fill depth times the buffer of one slice. OpenImageIO's "null"
  // reader makes a 4 × 4 × 3 RGBA volume from the name alone.
  paths.push_back("volume.null?RES=4x4x3&CHANNELS=4&TYPE=float");
  for (const auto& path : paths) {
    SCOPED_TRACE(path);
    auto r = decode(path);
    EXPECT_EQ(r.state, 3);
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(r.pixels);
    EXPECT_FALSE(r.spec);
    EXPECT_EQ(r.width, 0);
  }
  const auto volume = qn::oiio_read_float(paths.back());
  EXPECT_EQ(volume.error, "volume images are not supported");
  EXPECT_EQ(volume.channels, 4);
  EXPECT_TRUE(volume.data.empty());
}

TEST_F(PlainDecode, MissingFileIsAFailedOpenWithTheLibrarysText) {
  auto r = decode(dir.file("nowhere.exr"));
  EXPECT_EQ(r.state, 4);
  EXPECT_NE(r.error.find("nowhere.exr"), std::string::npos) << r.error;
  EXPECT_FALSE(r.has_mtime);
  EXPECT_FALSE(r.pixels);
  // The global error text was consumed: the next failure reports only itself.
  auto again = decode(dir.file("elsewhere.exr"));
  EXPECT_EQ(again.error.find("nowhere.exr"), std::string::npos) << again.error;
}

// Nanoseconds since the epoch; beyond 64 bits (year 2300 either way) unknown, not wrapped.
TEST_F(PlainDecode, ModificationTime) {
  const auto path = write("t.exr", named_spec(4, 4, TypeDesc::HALF));
  for (time_t seconds : {time_t{1700000000}, time_t{10413792000}, time_t{-10413792000}}) {
    const timespec times[2] = {{seconds, 123456789}, {seconds, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    if (st.st_mtim.tv_sec != seconds) continue;  // this file system clamps such times
    auto r = decode(path);
    EXPECT_EQ(r.state, 2);
    EXPECT_EQ(r.has_mtime, seconds == 1700000000) << seconds;
    EXPECT_EQ(r.mtime_ns, r.has_mtime ? 1700000000123456789 : 0);
    EXPECT_GE(r.stat_s, 0.0);
    EXPECT_LT(r.stat_s, 1.0);  // seconds, not milliseconds
  }
}

// A header declaring 2^22 × 2^16 pixels: 4 TiB of floats cannot be had.
TEST_F(PlainDecode, DeclaredSizeBeyondMemoryThrowsTheAllocationFailure) {
  if (qn_test::allocation_failure_aborts())
    GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
  const auto path = qn_test::write_exr_header_only(dir.file("huge.exr"), 1 << 22, 1 << 16);
  qn::io::DecodeResult r;
  EXPECT_THROW(qn::io::decode_plain(path, 0, r), std::bad_alloc);
  EXPECT_FALSE(r.pixels);
}

}  // namespace
