#include "quarn/io/layer_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <OpenImageIO/imageio.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>

#include "support/decode_files.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

using OIIO::TypeDesc;
using qn::io::load_layers;
using qn::io::Read;
using qn::io::Slot;
using Row = std::array<Slot, 4>;

constexpr float kUntouched = -7.f;
constexpr Row kRgba{Slot{0, 0, 0}, Slot{0, 1, 0}, Slot{0, 2, 0}, Slot{0, 3, 0}};
constexpr Slot one{-1, 0, 1.f};

// Output frames pre-filled with a marker, so that "not touched" can be checked.
struct Frames {
  Frames(std::size_t n, int w, int h)
      : data(n, std::vector<float>(std::size_t(w) * h * 4, kUntouched)) {}
  std::vector<float*> ptrs() {
    std::vector<float*> p;
    for (auto& d : data) p.push_back(d.data());
    return p;
  }
  bool untouched() const {
    for (const auto& d : data)
      if (std::count(d.begin(), d.end(), kUntouched) != std::ptrdiff_t(d.size())) return false;
    return true;
  }
  std::vector<std::vector<float>> data;
};

OIIO::ImageSpec exr_spec(int w, int h, int nch, const char* compression = "zip") {
  OIIO::ImageSpec spec(w, h, nch, TypeDesc::HALF);
  spec.attribute("compression", compression);
  return spec;
}

// Frame `got` holds channels [chbegin, chend) of subimage `s` as OpenImageIO reads them, bit for
// bit, in R, G, B, A from the first on.
void expect_channels(const std::vector<float>& got, const std::string& path, int s, int chbegin,
                     int chend) {
  auto in = OIIO::ImageInput::open(path);
  ASSERT_TRUE(in) << OIIO::geterror();
  const int nch = chend - chbegin;
  std::vector<float> px(got.size() / 4 * std::size_t(nch));
  ASSERT_TRUE(in->read_image(s, 0, chbegin, chend, TypeDesc::FLOAT, px.data()));
  for (std::size_t p = 0; p < px.size() / nch; ++p)
    ASSERT_EQ(std::memcmp(&got[p * 4], &px[p * nch], nch * 4), 0) << "pixel " << p;
}

// Every band of the banded reads, by index: its first and end row.
std::mutex band_mutex;
std::vector<std::pair<std::int64_t, std::int64_t>> bands;
int band_calls = 0;  // guarded by band_mutex
void log_band(const std::string&, int band, std::int64_t begin, std::int64_t end) {
  std::lock_guard lock(band_mutex);
  ++band_calls;
  if (bands.size() <= std::size_t(band)) bands.resize(band + 1);
  bands[band] = {begin, end};
}

class LayerLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    qn::io::set_band_observer(&log_band);
    bands.clear();
  }
  void TearDown() override {
    qn::io::set_band_observer(nullptr);
    unsetenv("QUARN_NATIVE_IO_BANDS");
  }
  // Loads all of a w × h RGBA file into one frame.
  static bool load_whole(const std::string& path, int w, int h, Frames& f, int threads = 0) {
    std::string err;
    return load_layers(path, {{0, 0, 4, 0, 0, w, h}}, {kRgba}, w, h, threads, f.ptrs(), err);
  }
  qn_test::TempDir dir;
};

// Refusals leave every frame untouched. A bad plan is refused before the open (no timing
// written); a read that does not fit the file after open and read were timed, nothing packed,
// reads after it not attempted. A deep file fails in its read, never banded.
TEST_F(LayerLoader, RefusalsTouchNoFrame) {
  const std::string small = qn_test::write_pattern(dir.file("small.exr"), exr_spec(8, 6, 4));
  const Read empty{0, 2, 2, 0, 0, 8, 6}, fits{0, 0, 4, 0, 0, 8, 6};
  const Row ones{one, one, one, one};
  struct Case {
    std::string path;
    std::size_t frames;  // 0: two, the second null
    int w, h;
    Row row;
    Read read;
    const char* message;  // the error, or for the missing file a part of it
  };
  std::vector<Case> cases{
      {small, 1, 8, 6, ones, fits, "bad plan"},  // fewer frames than plan rows
      {small, 2, -1, 6, ones, fits, "bad plan"},
      {small, 2, 8, -1, ones, fits, "bad plan"},
      {small, 0, 8, 6, ones, fits, "bad plan"},
      {small, 2, 8, 6, {Slot{3, 0, 0}, one, one, one}, empty, "bad slot"},
      {small, 2, 8, 6, {one, Slot{0, 3, 0}, one, one}, fits, "bad slot"},  // read 0 has three
      {small, 2, 8, 6, {one, one, Slot{0, -1, 0}, one}, fits, "bad slot"},
      {small, 2, 8, 6, {one, one, one, Slot{1, 0, 0}}, empty, "bad slot"},
      {dir.file("absent.exr"), 2, 8, 6, ones, fits, "absent.exr"},
      {qn_test::write_deep_exr(dir.file("deep.exr"), 8, 200), 2, 8, 200, ones,
       Read{0, 0, 4, 0, 0, 8, 200}, ""},
  };
  const Read misfits[] = {{0, 0, 4, 0, 0, 9, 6},
                          {0, 0, 4, 0, 0, 8, 5},
                          {0, 0, 5, 0, 0, 8, 6},
                          {1, 0, 4, 0, 0, 8, 6},
                          {-1, 0, 4, 0, 0, 8, 6},
                          {0, -1, 3, 0, 0, 8, 6},
                          {0, 3, 1, 0, 0, 8, 6},
                          empty,
                          {0, INT_MIN, INT_MAX, 0, 0, 8, 6}};
  for (const Read& r : misfits)
    cases.push_back({small, 2, 8, 6, ones, r, "plan does not match the file"});
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases.data());
    const bool opened = &c - cases.data() > 8;
    Frames f(2, std::max(c.w, 0), std::max(c.h, 0));
    auto dst = f.ptrs();
    dst.resize(std::max<std::size_t>(c.frames, 1));
    if (c.frames == 0) dst.push_back(nullptr);
    qn::io::Stats stats{-1, -1, -1};
    std::string err = "previous";
    const std::vector<Read> reads{{0, 0, 3, 0, 0, 8, 6}, c.read, fits};
    EXPECT_FALSE(load_layers(c.path, c.path == small ? reads : std::vector<Read>{c.read},
                             {c.row, ones}, c.w, c.h, 0, dst, err, &stats));
    EXPECT_TRUE(c.path == small ? err == c.message : err.find(c.message) != err.npos) << err;
    EXPECT_NE(err, "previous");
    EXPECT_TRUE(f.untouched());
    EXPECT_TRUE(bands.empty());
    EXPECT_EQ(stats.open_ms >= 0 && stats.read_ms >= 0, opened);
    EXPECT_EQ(stats.open_ms == -1 && stats.read_ms == -1, !opened);
    EXPECT_EQ(stats.pack_ms, -1);
  }
}

// Subimages and channel ranges of a multi-part file; constant slots ignore their read and
// channel; a success writes every timing and leaves the error text alone.
TEST_F(LayerLoader, PicksSubimagesChannelRangesAndConstants) {
  OIIO::ImageSpec a = exr_spec(24, 140, 4), b = exr_spec(24, 140, 6);
  b.format = TypeDesc::FLOAT;
  a.attribute("name", "beauty");
  b.attribute("name", "aovs");
  const std::string path = dir.file("multi.exr");
  std::string err = "kept";
  const auto part0 = qn_test::pattern(24, 140, 4);
  ASSERT_TRUE(qn_test::write_subimages(path, {a, b}, {part0, qn_test::pattern(24, 140, 6, 2.f)}));
  Frames f(2, 24, 140);
  const std::vector<Read> reads{{1, 2, 6, 0, 0, 24, 140}, {0, 0, 1, 0, 0, 24, 140}};
  const Row odd{Slot{-5, 99, 0.25f}, Slot{INT_MIN, -3, 4.f}, Slot{-1, 0, 0}, Slot{1, 0, 0}};
  qn::io::Stats stats{-1, -1, -1};
  ASSERT_TRUE(load_layers(path, reads, {kRgba, odd}, 24, 140, 0, f.ptrs(), err, &stats));
  EXPECT_EQ(err, "kept");
  EXPECT_TRUE(stats.open_ms >= 0 && stats.read_ms >= 0 && stats.pack_ms >= 0);
  expect_channels(f.data[0], path, 1, 2, 6);
  for (std::size_t p = 0; p < 24 * 140; ++p)
    ASSERT_TRUE(f.data[1][p * 4] == 0.25f && f.data[1][p * 4 + 1] == 4.f &&
                f.data[1][p * 4 + 2] == 0.f && f.data[1][p * 4 + 3] == part0[p * 4])
        << p;
}

// Reads placed partly or far off the frame: clipped on both sides, zero where the read misses,
// no 32-bit overflow of x + width or Y − y; large frames pack in parallel exactly as serially.
TEST_F(LayerLoader, PlacementClipsNeverOverflowsAndPacksAsSerially) {
  const std::string path = qn_test::write_pattern(dir.file("wide.exr"), exr_spec(20, 4, 2, "none"));
  const auto px = qn_test::pattern(20, 4, 2);
  Frames f(1, 8, 6);
  std::string err;
  const Row row{Slot{0, 1, 0}, Slot{-1, 0, 0.5f}, Slot{0, 0, 0}, one};
  ASSERT_TRUE(load_layers(path, {{0, 0, 2, -10, 1, 20, 4}}, {row}, 8, 6, 0, f.ptrs(), err)) << err;
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = y >= 1 && y < 5;
      const std::size_t src = (std::size_t(y - 1) * 20 + (x + 10)) * 2;
      const float* got = &f.data[0][(y * 8 + x) * 4];
      EXPECT_TRUE(got[0] == (inside ? px[src + 1] : 0.f) && got[2] == (inside ? px[src] : 0.f) &&
                  got[1] == 0.5f && got[3] == 1.f)
          << x << "," << y;
    }
  const int xs[] = {INT_MAX, INT_MIN, 0, 0, INT_MAX - 3},
            ys[] = {0, 0, INT_MIN, INT_MAX, INT_MAX - 2};
  for (int i = 0; i < 5; ++i) {
    Frames off(1, 5, 4);
    ASSERT_TRUE(load_layers(path, {{0, 0, 2, xs[i], ys[i], 20, 4}},
                            {{row[0], row[2], row[0], row[2]}}, 5, 4, 0, off.ptrs(), err));
    EXPECT_EQ(std::count(off.data[0].begin(), off.data[0].end(), 0.f), 5 * 4 * 4);
  }
  const std::string large = qn_test::write_pattern(dir.file("large.exr"), exr_spec(300, 260, 4));
  const std::vector<Read> reads{{0, 0, 4, 13, -21, 300, 260}, {0, 1, 3, -40, 7, 300, 260}};
  const std::vector<Row> rows{kRgba,
                              {Slot{1, 1, 0}, Slot{0, 2, 0}, Slot{-1, 0, 3.f}, Slot{1, 0, 0}}};
  Frames serial(2, 280, 250), parallel(2, 280, 250);
  ASSERT_TRUE(load_layers(large, reads, rows, 280, 250, 1, serial.ptrs(), err)) << err;
  ASSERT_TRUE(load_layers(large, reads, rows, 280, 250, 0, parallel.ptrs(), err)) << err;
  EXPECT_EQ(serial.data, parallel.data);
  const auto big = qn_test::pattern(300, 260, 4);
  EXPECT_EQ(serial.data[0][13 * 4], big[(21 * 300) * 4]);
  EXPECT_EQ(serial.data[1][7 * 280 * 4], big[40 * 4 + 2]);
}

// One banded read per compression, end to end; tiled reads are whole (a tiled EXR through
// read_scanlines kills the process). Bands start at the data window's first row.
TEST_F(LayerLoader, BandedReadsPerCompressionMatchTheLibrary) {
  auto tiled = exr_spec(64, 256, 4), shifted = exr_spec(64, 1080, 4, "dwab");
  tiled.tile_width = tiled.tile_height = 16;
  shifted.y = 37;
  const struct {
    OIIO::ImageSpec spec;
    std::vector<std::int64_t> rows;
  } cases[] = {
      {exr_spec(64, 1080, 4), {96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 24}},
      {shifted, {768, 312}},
      {tiled, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const int w = c.spec.width, h = c.spec.height;
    const std::string path = qn_test::write_pattern(dir.file("banded.exr"), c.spec);
    bands.clear();
    Frames f(1, w, h);
    ASSERT_TRUE(load_whole(path, w, h, f));
    std::vector<std::int64_t> rows;
    for (auto [begin, end] : bands) rows.push_back(end - begin);
    EXPECT_EQ(rows, c.rows);
    expect_channels(f.data[0], path, 0, 0, 4);
  }
}

// The split of uncompressed files (32-row chunks) over a grid of heights, thread budgets and
// values of the environment variable: whole chunks, at least two a band, no more bands than
// min(asked, threads, H / 64), every row read once, and as few rows a band as that allows. The
// files hold a header only, so every band read fails after the split has been observed.
TEST_F(LayerLoader, BandsSplitWholeChunksWithinEveryCap) {
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
        bands.clear();
        Frames f(1, 1, h);
        EXPECT_FALSE(load_whole(path, 1, h, f, threads));
        std::int64_t cap = std::min<std::int64_t>(e.asked, h / 64);
        if (threads > 0) cap = std::min<std::int64_t>(cap, threads);
        const auto count = std::int64_t(bands.size());
        if (threads == 1 || h < 128 || cap < 2) {
          EXPECT_EQ(count, 0);
          continue;
        }
        ASSERT_GE(count, 2);
        EXPECT_LE(count, cap);
        const std::int64_t rows = bands[0].second;
        EXPECT_TRUE(rows % 32 == 0 && rows >= 64) << rows;
        EXPECT_GT((h + rows - 33) / (rows - 32), cap) << "one chunk fewer a band would do";
        for (std::int64_t k = 0; k < count; ++k)
          EXPECT_EQ(bands[k], std::make_pair(k * rows, std::min<std::int64_t>(h, (k + 1) * rows)));
      }
  }
}

// The variable is read afresh for each read: turned off from inside the first read's bands,
// the second read is whole.
TEST_F(LayerLoader, EnvironmentIsReadAgainForEachRead) {
  const std::string path = qn_test::write_pattern(dir.file("two.exr"), exr_spec(64, 256, 4));
  setenv("QUARN_NATIVE_IO_BANDS", "2", 1);
  band_calls = 0;
  qn::io::set_band_observer([](const std::string& p, int k, std::int64_t b, std::int64_t e) {
    log_band(p, k, b, e);
    setenv("QUARN_NATIVE_IO_BANDS", "1", 1);
  });
  Frames f(2, 64, 256);
  std::string err;
  const Read r{0, 0, 4, 0, 0, 64, 256};
  Row second = kRgba;
  for (Slot& s : second) s.read = 1;
  ASSERT_TRUE(load_layers(path, {r, r}, {kRgba, second}, 64, 256, 0, f.ptrs(), err)) << err;
  EXPECT_EQ(band_calls, 2);
  expect_channels(f.data[1], path, 0, 0, 4);
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
  auto tiled = exr_spec(64, 256, 4), shifted = exr_spec(64, 256, 4);
  tiled.tile_width = tiled.tile_height = 64;
  shifted.y = 5;
  qn::io::set_band_observer(&Swap::swap);
  for (const auto& spec :
       {exr_spec(4096, 256, 4), exr_spec(64, 256, 8), exr_spec(64, 256, 3), shifted, tiled}) {
    const std::string path = qn_test::write_pattern(dir.file("swapped.exr"), exr_spec(64, 256, 4));
    Swap::from = qn_test::write_pattern(dir.file("replacement.exr"), spec);
    Swap::to = path;
    Frames f(1, 64, 256);
    std::string err;
    EXPECT_FALSE(load_layers(path, {{0, 0, 4, 0, 0, 64, 256}}, {kRgba}, 64, 256, 0, f.ptrs(), err));
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
  EXPECT_THROW((void)load_layers(path, {{0, 0, 4, 0, 0, w, h}}, {kRgba}, 4, 4, 0, f.ptrs(), err),
               std::bad_alloc);
  EXPECT_EQ(err, "kept");
  EXPECT_TRUE(f.untouched());
}

}  // namespace
