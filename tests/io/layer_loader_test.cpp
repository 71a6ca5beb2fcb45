#include "quarn/io/layer_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <OpenImageIO/imageio.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "support/decode_files.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using OIIO::TypeDesc;
using qn::io::load_layers;
using qn::io::Read;
using qn::io::Slot;
using qn::io::Stats;
using Row = std::array<Slot, 4>;

constexpr float kUntouched = -7.f;
constexpr double kUnset = -1.0;

Slot channel(int read, int c) { return {read, c, 0.f}; }
Slot constant(float v) { return {-1, 0, v}; }
Row rgba(int read) {
  return {channel(read, 0), channel(read, 1), channel(read, 2), channel(read, 3)};
}
Read whole(int w, int h, int nch, int subimage = 0) { return {subimage, 0, nch, 0, 0, w, h}; }

// Output frames pre-filled with a marker, so that "not touched" can be checked.
struct Frames {
  Frames(std::size_t n, int w, int h)
      : width(w), data(n, std::vector<float>(std::size_t(w) * h * 4, kUntouched)) {}
  std::vector<float*> ptrs() {
    std::vector<float*> p;
    for (auto& d : data) p.push_back(d.data());
    return p;
  }
  float at(std::size_t k, int x, int y, int c) const {
    return data[k][(std::size_t(y) * width + x) * 4 + c];
  }
  bool untouched() const {
    for (const auto& d : data)
      for (float v : d)
        if (v != kUntouched) return false;
    return true;
  }
  int width;
  std::vector<std::vector<float>> data;
};

OIIO::ImageSpec exr_spec(int w, int h, int nch, TypeDesc format = TypeDesc::HALF,
                         const char* compression = "zip") {
  OIIO::ImageSpec spec(w, h, nch, format);
  spec.attribute("compression", compression);
  return spec;
}

// What OpenImageIO itself reads for channels [chbegin, chend) of a subimage, as floats.
std::vector<float> reference(const std::string& path, int subimage, int chbegin, int chend) {
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << OIIO::geterror();
  if (!in) return {};
  OIIO::ImageSpec spec = in->spec(subimage, 0);
  std::vector<float> px(std::size_t(spec.width) * spec.height * (chend - chbegin));
  EXPECT_TRUE(in->read_image(subimage, 0, chbegin, chend, TypeDesc::FLOAT, px.data()));
  return px;
}

// Frame k holds channels [0, nch) of `px` in R, G, B, A, bit for bit, with `fill` beyond nch.
void expect_frame(const Frames& f, std::size_t k, const std::vector<float>& px, int nch,
                  float fill = 0.f) {
  for (std::size_t p = 0; p < f.data[k].size() / 4; ++p)
    for (int c = 0; c < 4; ++c) {
      const float want = c < nch ? px[p * nch + c] : fill, got = f.data[k][p * 4 + c];
      if (std::memcmp(&want, &got, sizeof want) != 0)
        return ADD_FAILURE() << "pixel " << p << " channel " << c << ": " << got << ", expected "
                             << want;
    }
}

// The row count of every band of the banded reads, in band order. Every test logs bands.
std::mutex band_mutex;
std::vector<std::int64_t> band_rows;
void log_band(const std::string&, int band, std::int64_t begin, std::int64_t end) {
  std::lock_guard lock(band_mutex);
  if (band_rows.size() <= std::size_t(band)) band_rows.resize(band + 1);
  band_rows[band] = end - begin;
}

class LayerLoader : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const OIIO::ImageSpec& spec) {
    return qn_test::write_pattern(dir.file(name), spec);
  }
  // Loads one whole RGBA read of a w × h file into one frame.
  static bool load_whole(const std::string& path, int w, int h, int threads, Frames& f,
                         std::string& err) {
    return load_layers(path, {whole(w, h, 4)}, {rgba(0)}, w, h, threads, f.ptrs(), err);
  }

  void SetUp() override { qn::io::set_band_observer(&log_band); }
  void TearDown() override {
    qn::io::set_band_observer(nullptr);
    unsetenv("QUARN_NATIVE_IO_BANDS");
  }

  qn_test::TempDir dir;
};

// Refusals leave every frame untouched. A bad plan is refused before the open (no timing
// written); a read that does not fit the file after open and read were timed, nothing packed,
// reads after it not attempted.
TEST_F(LayerLoader, RefusedPlansTouchNoFrame) {
  const std::string missing = dir.file("absent.exr"), small = write("small.exr", exr_spec(8, 6, 4));
  const Row ones{constant(1), constant(1), constant(1), constant(1)};
  const Read fits = whole(8, 6, 4), empty{0, 2, 2, 0, 0, 8, 6};
  struct Case {
    std::size_t frames;
    int w, h;
    bool null_frame;
    Row row;
    Read read;
    const char* message;  // null: the library's text naming the missing file
  } cases[] = {
      {1, 4, 4, false, ones, empty, "bad plan"},  // fewer frames than plan rows
      {2, -1, 4, false, ones, empty, "bad plan"},
      {2, 4, -1, false, ones, empty, "bad plan"},
      {2, 4, 4, true, ones, empty, "bad plan"},
      {2, 2, 2, false, {channel(3, 0), constant(0), constant(0), constant(0)}, empty, "bad slot"},
      {2, 2, 2, false, {constant(0), channel(0, 3), constant(0), constant(0)}, empty, "bad slot"},
      {2, 2, 2, false, {constant(0), constant(0), channel(0, -1), constant(0)}, empty, "bad slot"},
      {2, 2, 2, false, {constant(0), constant(0), constant(0), channel(1, 0)}, empty, "bad slot"},
      {2, 2, 2, false, ones, empty, nullptr},
  };
  const Read misfits[] = {
      {0, 0, 4, 0, 0, 9, 6},              // width
      {0, 0, 4, 0, 0, 8, 5},              // height
      {0, 0, 5, 0, 0, 8, 6},              // chend beyond the 4 channels
      {1, 0, 4, 0, 0, 8, 6},              // no such subimage
      {-1, 0, 4, 0, 0, 8, 6},             // negative subimage
      {0, -1, 3, 0, 0, 8, 6},             // negative chbegin
      {0, INT_MIN, INT_MAX, 0, 0, 8, 6},  // nch beyond int32
      {0, 2, 2, 0, 0, 8, 6},              // no channels
      {0, 3, 1, 0, 0, 8, 6},              // reversed range
      {0, 0, 4, 0, 0, -8, -6},            // negative size
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (const Read& r : misfits)
    all.push_back({2, 8, 6, false, ones, r, "plan does not match the file"});
  for (const Case& c : all) {
    const bool opened = c.w == 8;
    SCOPED_TRACE(std::to_string(&c - all.data()));
    Frames f(c.frames, std::max(c.w, 0), std::max(c.h, 0));
    auto dst = f.ptrs();
    if (c.null_frame) dst[1] = nullptr;
    Stats stats{kUnset, kUnset, kUnset};
    std::string err = "previous";
    const std::vector<Read> reads =
        c.message ? std::vector<Read>{whole(8, 6, 3), c.read, fits} : std::vector<Read>{};
    EXPECT_FALSE(
        load_layers(opened ? small : missing, reads, {c.row, ones}, c.w, c.h, 0, dst, err, &stats));
    if (c.message)
      EXPECT_EQ(err, c.message);
    else
      EXPECT_NE(err.find("absent.exr"), std::string::npos) << err;
    EXPECT_TRUE(f.untouched());
    EXPECT_EQ(stats.open_ms >= 0.0 && stats.read_ms >= 0.0, opened);
    EXPECT_EQ(stats.open_ms == kUnset && stats.read_ms == kUnset, !opened);
    EXPECT_EQ(stats.pack_ms, kUnset);
  }
}

TEST_F(LayerLoader, ReadsEveryKindOfFileAsTheLibraryDoes) {
  std::vector<std::pair<const char*, OIIO::ImageSpec>> cases{
      {"zip_half.exr", exr_spec(96, 160, 4)},
      {"dwab_half.exr", exr_spec(96, 600, 4, TypeDesc::HALF, "dwab")},
      {"piz_float.exr", exr_spec(96, 160, 4, TypeDesc::FLOAT, "piz")},
      {"mixed.exr", exr_spec(40, 130, 4)},
      {"lower.exr", exr_spec(40, 20, 4)},
      {"misnamed.exr", exr_spec(40, 20, 4, TypeDesc::FLOAT, "none")},
      {"tiled.exr", exr_spec(72, 200, 4)},
      {"rgb.exr", exr_spec(30, 140, 3)},
      {"shifted.exr", exr_spec(50, 300, 4)},
      {"empty_display.exr", exr_spec(12, 9, 4)},
      {"rgba.png", OIIO::ImageSpec(33, 17, 4, TypeDesc::UINT8)},
      {"rgb.tif", OIIO::ImageSpec(33, 130, 3, TypeDesc::UINT16)},
  };
  cases[3].second.channelformats = {TypeDesc::HALF, TypeDesc::FLOAT, TypeDesc::HALF,
                                    TypeDesc::FLOAT};
  cases[4].second.channelnames = {"r", "g", "b", "a"};
  cases[5].second.channelnames = {"X", "Y", "Z", "W"};
  cases[6].second.tile_width = cases[6].second.tile_height = 32;
  OIIO::ImageSpec& shifted = cases[8].second;
  shifted.x = -7;  // banded from the data window's first row
  shifted.y = 37;
  shifted.full_width = shifted.full_height = 64;
  cases[9].second.full_width = cases[9].second.full_height = 0;
  for (const auto& [name, spec] : cases) {
    SCOPED_TRACE(name);
    const int w = spec.width, h = spec.height, nch = spec.nchannels;
    const std::string path = write(name, spec);
    const auto want = reference(path, 0, 0, nch);
    Row row = rgba(0);
    if (nch == 3) row[3] = constant(1.f);
    for (int threads : {0, 1, 3}) {
      Frames f(1, w, h);
      std::string err;
      ASSERT_TRUE(load_layers(path, {whole(w, h, nch)}, {row}, w, h, threads, f.ptrs(), err))
          << err;
      expect_frame(f, 0, want, nch, 1.f);
    }
  }
}

// Subimages and channel ranges of a multi-part file; constant slots ignore their read and
// channel; a success writes every timing and leaves the error text alone.
TEST_F(LayerLoader, PicksSubimagesChannelRangesAndConstants) {
  OIIO::ImageSpec a = exr_spec(24, 140, 4), b = exr_spec(24, 140, 6, TypeDesc::FLOAT);
  a.attribute("name", "beauty");
  b.attribute("name", "aovs");
  const std::string path = dir.file("multi.exr");
  std::string err;
  const auto part0 = qn_test::pattern(24, 140, 4);
  ASSERT_TRUE(
      qn_test::write_subimages(path, {a, b}, {part0, qn_test::pattern(24, 140, 6, 2.f)}, &err))
      << err;
  Frames f(2, 24, 140);
  const std::vector<Read> reads{{1, 2, 6, 0, 0, 24, 140}, {0, 0, 1, 0, 0, 24, 140}};
  const Row odd{Slot{-5, 99, 0.25f}, Slot{INT_MIN, -3, 4.f}, constant(0), channel(1, 0)};
  Stats stats{kUnset, kUnset, kUnset};
  err = "kept";
  ASSERT_TRUE(load_layers(path, reads, {rgba(0), odd}, 24, 140, 0, f.ptrs(), err, &stats));
  EXPECT_EQ(err, "kept");
  EXPECT_GE(stats.open_ms, 0.0);
  EXPECT_GE(stats.read_ms, 0.0);
  EXPECT_GE(stats.pack_ms, 0.0);
  expect_frame(f, 0, reference(path, 1, 2, 6), 4);
  EXPECT_EQ(f.at(1, 5, 100, 0), 0.25f);
  EXPECT_EQ(f.at(1, 5, 100, 1), 4.f);
  EXPECT_EQ(f.at(1, 5, 100, 3), part0[(100 * 24 + 5) * 4]);
}

// Reads placed partly or far off the frame: clipped on both sides, zero where the read misses,
// no 32-bit overflow of x + width or Y − y.
TEST_F(LayerLoader, PlacementClipsAndNeverOverflows) {
  const std::string path = write("wide.exr", exr_spec(20, 4, 2, TypeDesc::FLOAT, "none"));
  const auto px = qn_test::pattern(20, 4, 2);
  Frames f(1, 8, 6);
  std::string err;
  Row row{channel(0, 1), constant(0.5f), channel(0, 0), constant(1.f)};
  ASSERT_TRUE(load_layers(path, {{0, 0, 2, -10, 1, 20, 4}}, {row}, 8, 6, 0, f.ptrs(), err)) << err;
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = y >= 1 && y < 5;
      const std::size_t src = (std::size_t(y - 1) * 20 + (x + 10)) * 2;
      EXPECT_EQ(f.at(0, x, y, 0), inside ? px[src + 1] : 0.f) << x << "," << y;
      EXPECT_EQ(f.at(0, x, y, 2), inside ? px[src] : 0.f) << x << "," << y;
      EXPECT_EQ(f.at(0, x, y, 1), 0.5f);
      EXPECT_EQ(f.at(0, x, y, 3), 1.f);
    }
  for (auto [x, y] : {std::pair{INT_MAX, 0},
                      {INT_MIN, 0},
                      {0, INT_MIN},
                      {0, INT_MAX},
                      {INT_MAX - 3, INT_MAX - 2}}) {
    Frames off(1, 5, 4);
    ASSERT_TRUE(load_layers(path, {{0, 0, 2, x, y, 20, 4}},
                            {{channel(0, 0), channel(0, 1), constant(0), constant(0)}}, 5, 4, 0,
                            off.ptrs(), err));
    for (float v : off.data[0]) ASSERT_EQ(v, 0.f);
  }
}

TEST_F(LayerLoader, LargeFramesPackInParallelExactlyAsSerially) {
  const std::string path = write("large.exr", exr_spec(300, 260, 4));
  const std::vector<Read> reads{{0, 0, 4, 13, -21, 300, 260}, {0, 1, 3, -40, 7, 300, 260}};
  const std::vector<Row> rows{rgba(0),
                              {channel(1, 1), channel(0, 2), constant(3.f), channel(1, 0)}};
  Frames serial(2, 280, 250), parallel(2, 280, 250);
  std::string err;
  ASSERT_TRUE(load_layers(path, reads, rows, 280, 250, 1, serial.ptrs(), err)) << err;
  ASSERT_TRUE(load_layers(path, reads, rows, 280, 250, 0, parallel.ptrs(), err)) << err;
  EXPECT_EQ(serial.data, parallel.data);
  const auto px = qn_test::pattern(300, 260, 4);
  EXPECT_EQ(serial.at(0, 13, 0, 0), px[(21 * 300) * 4]);
  EXPECT_EQ(serial.at(1, 0, 7, 0), px[40 * 4 + 2]);
}

// One banded read per compression, end to end; tiled reads are whole (a tiled EXR through
// read_scanlines kills the process).
TEST_F(LayerLoader, BandedReadsPerCompressionMatchTheLibrary) {
  auto tiled = exr_spec(64, 256, 4);
  tiled.tile_width = tiled.tile_height = 16;
  const struct {
    const char* name;
    OIIO::ImageSpec spec;
    std::vector<std::int64_t> rows;
  } cases[] = {
      {"zip.exr", exr_spec(64, 1080, 4), {96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 24}},
      {"dwab.exr", exr_spec(64, 1080, 4, TypeDesc::HALF, "dwab"), {768, 312}},
      {"tiled.exr", tiled, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int w = c.spec.width, h = c.spec.height;
    const std::string path = write(c.name, c.spec);
    band_rows.clear();
    Frames f(1, w, h);
    std::string err;
    ASSERT_TRUE(load_whole(path, w, h, 0, f, err)) << err;
    EXPECT_EQ(band_rows, c.rows);
    expect_frame(f, 0, reference(path, 0, 0, 4), 4);
  }
}

// OpenImageIO refuses read_image on deep data: the load fails with a message, before any band.
TEST_F(LayerLoader, DeepFilesFailCleanlyAndAreNeverBanded) {
  const std::string path = qn_test::write_deep_exr(dir.file("deep.exr"), 20, 200);
  band_rows.clear();
  Frames f(1, 20, 200);
  std::string err;
  EXPECT_FALSE(load_whole(path, 20, 200, 0, f, err));
  EXPECT_TRUE(band_rows.empty());
  EXPECT_FALSE(err.empty());
  EXPECT_TRUE(f.untouched());
}

std::vector<std::pair<std::int64_t, std::int64_t>> bands_seen_rows;  // begin, end; by band
void log_band_range(const std::string&, int band, std::int64_t begin, std::int64_t end) {
  std::lock_guard lock(band_mutex);
  if (bands_seen_rows.size() <= std::size_t(band)) bands_seen_rows.resize(band + 1);
  bands_seen_rows[band] = {begin, end};
}

// The split of uncompressed files (32-row chunks) over a grid of heights, thread budgets and
// values of the environment variable: whole chunks, at least two a band, no more bands than
// min(asked, threads, H / 64), every row read once, and as few rows a band as that allows. The
// files hold a header only, so every band read fails after the split has been observed.
TEST_F(LayerLoader, BandsSplitWholeChunksWithinEveryCap) {
  qn::io::set_band_observer(&log_band_range);
  const struct {
    const char* env;  // null: unset
    std::int64_t asked;
  } envs[] = {{nullptr, 16},
              {"abc", 0},
              {"1", 1},
              {"3", 3},
              {" 2xyz", 2},
              {"-9", -9},
              {"64", 64},
              {"99999999999999999999999", INT_MAX},
              {"-99999999999999999999999", INT_MIN}};
  for (int h : {64, 127, 128, 191, 300, 1080, 2049, 4100}) {
    const std::string path = qn_test::write_exr_header_only(dir.file("h.exr"), 1, h);
    for (const auto& e : envs)
      for (int threads : {0, 1, 2, 5, 64}) {
        SCOPED_TRACE(std::to_string(h) + " rows, " + (e.env ? e.env : "(unset)") + ", threads " +
                     std::to_string(threads));
        if (e.env)
          setenv("QUARN_NATIVE_IO_BANDS", e.env, 1);
        else
          unsetenv("QUARN_NATIVE_IO_BANDS");
        bands_seen_rows.clear();
        Frames f(1, 1, h);
        std::string err;
        (void)load_whole(path, 1, h, threads, f, err);
        std::int64_t cap = std::min<std::int64_t>(e.asked, h / 64);
        if (threads > 0) cap = std::min<std::int64_t>(cap, threads);
        if (threads == 1 || h < 128 || cap < 2) {
          EXPECT_TRUE(bands_seen_rows.empty());
          continue;
        }
        const auto count = std::int64_t(bands_seen_rows.size());
        ASSERT_GE(count, 2);
        EXPECT_LE(count, cap);
        const std::int64_t rows = bands_seen_rows[0].second;
        EXPECT_EQ(rows % 32, 0);
        EXPECT_GE(rows, 64);
        EXPECT_GT((h + rows - 33) / (rows - 32), cap) << "one chunk fewer a band would do";
        for (std::int64_t k = 0; k < count; ++k)
          EXPECT_EQ(bands_seen_rows[k],
                    std::make_pair(k * rows, std::min<std::int64_t>(h, (k + 1) * rows)));
        EXPECT_EQ(bands_seen_rows.back().second, h);
      }
  }
}

// Counts bands and turns banding off from inside them, for the reads that follow.
std::atomic<int> bands_seen{0};
void count_and_stop_banding(const std::string&, int, std::int64_t, std::int64_t) {
  ++bands_seen;
  setenv("QUARN_NATIVE_IO_BANDS", "1", 1);
}

TEST_F(LayerLoader, EnvironmentIsReadAgainForEachRead) {
  const std::string path = write("two.exr", exr_spec(64, 256, 4));
  setenv("QUARN_NATIVE_IO_BANDS", "2", 1);
  bands_seen = 0;
  qn::io::set_band_observer(&count_and_stop_banding);
  Frames f(2, 64, 256);
  std::string err;
  ASSERT_TRUE(load_layers(path, {whole(64, 256, 4), whole(64, 256, 4)}, {rgba(0), rgba(1)}, 64, 256,
                          0, f.ptrs(), err))
      << err;
  EXPECT_EQ(bands_seen.load(), 2);  // the first read in two bands, the second whole
  expect_frame(f, 1, qn_test::pattern(64, 256, 4), 4);
}

// The observer swaps the file before the first band opens it; the main input keeps the old one.
struct Swap {
  static inline std::mutex mutex;
  static inline std::string from, to;  // guarded by mutex; `from` empty once swapped
  static void swap(const std::string&, int, std::int64_t, std::int64_t) {
    std::lock_guard lock(mutex);
    if (!from.empty()) std::filesystem::rename(std::exchange(from, {}), to);
  }
};

TEST_F(LayerLoader, BandInputsMustFindTheFileTheMainInputOpened) {
  auto tiled = exr_spec(64, 256, 4);
  tiled.tile_width = tiled.tile_height = 64;
  auto shifted = exr_spec(64, 256, 4);
  shifted.y = 5;
  const OIIO::ImageSpec cases[] = {exr_spec(4096, 256, 4), exr_spec(64, 256, 8),
                                   exr_spec(64, 256, 3), shifted, tiled};
  for (const auto& spec : cases) {
    SCOPED_TRACE(&spec - cases);
    const std::string path = write("swapped.exr", exr_spec(64, 256, 4));
    Swap::from = write("replacement.exr", spec);
    Swap::to = path;
    qn::io::set_band_observer(&Swap::swap);
    Frames f(1, 64, 256);
    std::string err;
    EXPECT_FALSE(load_layers(path, {whole(64, 256, 4)}, {rgba(0)}, 64, 256, 0, f.ptrs(), err));
    EXPECT_EQ(err, "plan does not match the file");
    EXPECT_TRUE(f.untouched());
  }
}

// A declared 4 TiB staging buffer: the allocation exception, never a wrapped small buffer.
TEST_F(LayerLoader, AStagingBufferThatCannotExistThrowsTheAllocationException) {
  const int w = 1 << 22, h = 1 << 16;
  const std::string path = qn_test::write_exr_header_only(dir.file("huge.exr"), w, h);
  Frames f(1, 4, 4);
  std::string err = "kept";
  EXPECT_THROW((void)load_layers(path, {whole(w, h, 4)}, {rgba(0)}, 4, 4, 0, f.ptrs(), err),
               std::bad_alloc);
  EXPECT_EQ(err, "kept");
  EXPECT_TRUE(f.untouched());
}

}  // namespace
