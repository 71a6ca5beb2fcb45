#include "quarn/io/plain_decode.h"

#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <new>

#include "quarn/core/image_read.h"
#include "quarn/core/version.h"
#include "quarn/io/decode_scheduler.h"
#include "quarn/io/layer_loader.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using namespace qn::io;
using OIIO::TypeDesc;
using qn_test::named_spec;

DecodeResult decode(const std::string& path) {
  DecodeResult r;
  decode_plain(path, 0, r);
  return r;
}

bool same_bits(const float* a, const float* b, std::size_t n) {
  return std::memcmp(a, b, n * sizeof(float)) == 0;
}

// Every reader bit for bit as OpenImageIO; decode_plain takes the file as `plain` says (-1: either)
// and widens halves itself as `half` says. Returns whether it took it.
bool expect_readers_agree(const std::string& path, int plain, bool half, int threads) {
  SCOPED_TRACE(path);
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << OIIO::geterror();
  const auto image = qn::oiio_read_float(path);  // the first subimage
  for (int s = 0; in && in->seek_subimage(s, 0); ++s) {
    const OIIO::ImageSpec spec = in->spec();
    const int w = spec.width, h = spec.height, nch = spec.nchannels, n = std::min(nch, 4);
    std::array<Slot, 4> row;
    for (int c = 0; c < 4; ++c) row[c] = c < n ? Slot{0, c, 0.f} : Slot{-1, 0, 1.f};
    std::vector<float> frame(std::size_t(w) * h * 4), want(std::size_t(w) * h * nch);
    std::vector<float> rgba(frame.size(), 1.f);
    std::string err;
    const bool loaded =
        load_layers(path, {Read{s, 0, n, 0, 0, w, h}}, {row}, w, h, threads, {frame.data()}, err);
    EXPECT_EQ(loaded, !spec.deep) << "subimage " << s << ": " << err;
    if (!loaded) continue;
    EXPECT_TRUE(in->read_image(s, 0, 0, nch, TypeDesc::FLOAT, want.data()));
    for (std::size_t p = 0; p < std::size_t(w) * h; ++p)
      std::copy_n(&want[p * nch], n, &rgba[p * 4]);
    EXPECT_TRUE(same_bits(frame.data(), rgba.data(), frame.size())) << "subimage " << s;
    if (s > 0) continue;
    EXPECT_TRUE(image.error.empty() && image.width == w && image.height == h &&
                image.channels == nch && image.data.size() == want.size() &&
                same_bits(image.data.data(), want.data(), want.size()))
        << image.error;
  }
  const auto r = decode(path);
  EXPECT_TRUE(plain < 0 || r.state == (plain ? DECODE_DONE : DECODE_NOT_PLAIN)) << r.error;
  if (r.state != DECODE_DONE) {
    EXPECT_TRUE(r.state == DECODE_NOT_PLAIN && r.error.empty() && !r.pixels && !r.spec &&
                r.width == 0)
        << r.state << " " << r.error;
    return false;
  }
  EXPECT_TRUE(r.width == image.width && r.height == image.height && r.spec && r.has_mtime &&
              r.error.empty() && r.read_ms > 0.0 && image.channels == 4 &&
              same_bits(r.pixels.get(), image.data.data(), image.data.size()));
  EXPECT_TRUE(plain < 0 || (r.convert_ms > 0.0) == half);
  return true;
}

TEST(Readers, GeneratedFilesOfEveryKindReadAsOpenImageIOReadsThem) {
  auto mixed = named_spec(20, 130, TypeDesc::FLOAT), tiled = named_spec(72, 200, TypeDesc::HALF),
       dwab = named_spec(96, 1080, TypeDesc::HALF),
       zero_display = named_spec(12, 9, TypeDesc::FLOAT),
       shifted = named_spec(50, 300, TypeDesc::HALF), smaller = named_spec(16, 16, TypeDesc::HALF);
  mixed.channelformats = {TypeDesc::HALF, TypeDesc::FLOAT, TypeDesc::HALF, TypeDesc::HALF};
  tiled.tile_width = tiled.tile_height = 32;
  dwab.attribute("compression", "dwab");
  zero_display.full_width = zero_display.full_height = 0;  // 0 × 0 counts as equal
  shifted.x = -7;
  shifted.y = 37;
  shifted.full_width = shifted.full_height = 64;
  smaller.full_width = 17;
  qn_test::TempDir dir;
  // Two subimages, the first plain, the later larger: decode_plain takes neither.
  auto later = named_spec(6, 5, TypeDesc::HALF, {"R", "G", "B"});
  later.full_width = 4;  // the parts of one EXR share their display window
  later.full_height = 2;
  const std::string two = dir.file("two.exr");
  ASSERT_TRUE(
      qn_test::write_subimages(two, {named_spec(4, 2, TypeDesc::FLOAT), later},
                               {qn_test::pattern(4, 2, 4, 1.f), qn_test::pattern(6, 5, 3)}));
  auto file = [&](const char* name, const OIIO::ImageSpec& spec) {
    return qn_test::write_pattern(dir.file(name), spec);
  };
  const struct {
    std::string path;
    bool plain, half;
  } cases[] = {
      {file("tiled.exr", tiled), true, true},
      {file("dwab.exr", dwab), true, true},
      {file("mixed.exr", mixed), true, false},
      {file("rgba.png", named_spec(33, 17, TypeDesc::UINT8)), true, false},
      {file("zero_display.tif", zero_display), true, false},
      {file("rgb.tif", named_spec(33, 130, TypeDesc::UINT16, {"R", "G", "B"})), false, false},
      {file("lower_a.exr", named_spec(16, 16, TypeDesc::HALF, {"R", "G", "B", "a"})), false, false},
      {file("shifted.exr", shifted), false, false},
      {file("smaller.exr", smaller), false, false},
      {two, false, false},
      {qn_test::write_deep_exr(dir.file("deep.exr"), 8, 8), false, false},
  };
  int threads = 0;  // 0 to 3 in turn (1: whole reads, serial packing; tiled files never band)
  for (const auto& c : cases) expect_readers_agree(c.path, c.plain, c.half, threads++ % 4);
}

TEST(Readers, EverySampleFileReadsAsOpenImageIOReadsIt) {
  const std::filesystem::path root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  int files = 0, decoded = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const auto& file = e.path();
    if (file.extension() != ".exr" || file.parent_path().filename() == "Damaged") continue;
    decoded += expect_readers_agree(file.string(), -1, false, files++ % 3);
  }
  EXPECT_GE(files, 25);
  EXPECT_GE(decoded, 2);  // Desk.exr and stripes.exr are plain RGBA
}

// oiio_read_float keeps nothing after a failed open, the size and zeros after a failed read.
TEST(Readers, FailuresKeepWhatIsKnown) {
  qn_test::TempDir dir;
  const struct {
    std::string path;
    int state, width, height, channels, floats;
    const char *decode_error, *read_error;  // a part of each
  } cases[] = {
      {dir.file("nowhere.exr"), DECODE_OPEN_FAILED, 0, 0, 0, 0, "nowhere.exr", "nowhere.exr"},
      {qn_test::write_exr_header_only(dir.file("hollow.exr"), 300, 300), DECODE_NOT_PLAIN, 300, 300,
       4, 300 * 300 * 4, "", ""},
      // A volume would overrun a buffer of one slice (the "null" reader makes it from the name).
      {"volume.null?RES=4x4x3&CHANNELS=4&TYPE=float", DECODE_NOT_PLAIN, 4, 4, 4, 0, "",
       "volume images are not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto r = decode(c.path);
    EXPECT_EQ(r.state, c.state);
    EXPECT_TRUE(*c.decode_error ? r.error.find(c.decode_error) != r.error.npos : r.error.empty())
        << r.error;
    EXPECT_TRUE(r.has_mtime == std::filesystem::exists(c.path) && !r.pixels);
    const auto image = qn::oiio_read_float(c.path);
    EXPECT_TRUE(!image.error.empty() && image.error.find(c.read_error) != std::string::npos)
        << image.error;
    EXPECT_TRUE(image.width == c.width && image.height == c.height && image.channels == c.channels);
    EXPECT_EQ(image.data, std::vector<float>(std::size_t(c.floats)));
  }
  // The global error text was consumed: the next failure reports only itself.
  EXPECT_EQ(decode(dir.file("elsewhere.exr")).error.find("nowhere.exr"), std::string::npos);
}

// Nanoseconds since the epoch; beyond 64 bits (year 2300 either way) unknown, not wrapped.
TEST(Readers, ModificationTime) {
  qn_test::TempDir dir;
  const auto path = qn_test::write_pattern(dir.file("t.exr"), named_spec(4, 4, TypeDesc::HALF));
  for (time_t seconds : {time_t{1700000000}, time_t{10413792000}, time_t{-10413792000}}) {
    const timespec times[2] = {{seconds, 123456789}, {seconds, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    if (st.st_mtim.tv_sec != seconds) continue;  // this file system clamps such times
    const auto r = decode(path);
    const bool known = seconds == 1700000000;
    EXPECT_TRUE(r.has_mtime == known && r.mtime_ns == (known ? 1700000000123456789 : 0)) << seconds;
    EXPECT_TRUE(r.state == DECODE_DONE && r.stat_s >= 0.0 && r.stat_s < 1.0) << "s, not ms";
  }
}

// 2^22 × 2^16 pixels: std::bad_alloc reaches the caller, never a wrapped small buffer;
// DecodeScheduler names it and its worker lives on.
TEST(Readers, AllocationFailures) {
  qn_test::TempDir dir;
  const auto huge = qn_test::write_exr_header_only(dir.file("huge.exr"), 1 << 22, 1 << 16);
  std::vector<float> frame(4 * 4 * 4, -7.f);
  std::string err = "kept";
  EXPECT_THROW((void)load_layers(huge, {{0, 0, 4, 0, 0, 1 << 22, 1 << 16}}, {{Slot{0, 0, 0}}}, 4, 4,
                                 0, {frame.data()}, err),
               std::bad_alloc);
  EXPECT_TRUE(err == "kept" && frame == std::vector<float>(4 * 4 * 4, -7.f));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer runtime aborts on failed allocations instead of throwing";
#endif
  EXPECT_THROW(decode(huge), std::bad_alloc);
  EXPECT_THROW(qn::oiio_read_float(huge), std::bad_alloc);
  DecodeScheduler scheduler(1, 0, 1);
  auto job = scheduler.take(scheduler.submit(huge, 0), -1);
  ASSERT_TRUE(job);
  EXPECT_TRUE(job->state == DECODE_NOT_PLAIN && !job->pixels);
  EXPECT_EQ(job->error, "decode raised std::bad_alloc");
  const auto good = qn_test::write_pattern(dir.file("good.exr"), named_spec(4, 4, TypeDesc::HALF));
  job = scheduler.take(scheduler.submit(good, 0), -1);
  EXPECT_TRUE(job && job->state == DECODE_DONE);
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  const auto image = qn::oiio_read_float((root / "Damaged" / "memory_DOS_2.1").string());
  EXPECT_EQ(image.error, "OpenImageIO raised an exception: std::bad_alloc");
  EXPECT_EQ(image.width, 100663297);
}

// No leading zeros; a negative number (no release has one) spelled without overflow.
TEST(CoreVersion, RuntimeMatchesHeadersAndNumbersHaveNoLeadingZeros) {
  EXPECT_EQ(qn::oiio_header_version().rfind(qn::oiio_runtime_version() + ".", 0), 0u);
  EXPECT_EQ(qn::oiio_version_text(30200), "3.2.0");
  EXPECT_EQ(qn::oiio_version_text(INT_MIN), "214748.36.48");
}

}  // namespace
