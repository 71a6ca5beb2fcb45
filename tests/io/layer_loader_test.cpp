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
#include <thread>
#include <utility>

#include "support/image_files.h"
#include "support/layer_files.h"
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
      : width(w), height(h), data(n, std::vector<float>(std::size_t(w) * h * 4, kUntouched)) {}
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
  int width, height;
  std::vector<std::vector<float>> data;
};

OIIO::ImageSpec exr_spec(int w, int h, int nch, TypeDesc format, const char* compression) {
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
  EXPECT_TRUE(in->read_image(subimage, 0, chbegin, chend, TypeDesc::FLOAT, px.data()))
      << in->geterror();
  return px;
}

// Frame k holds channels [0, nch) of `px` (w × h × nch) in R, G, B, A, with `fill` beyond nch.
void expect_frame(const Frames& f, std::size_t k, const std::vector<float>& px, int nch,
                  float fill = 0.f) {
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x)
      for (int c = 0; c < 4; ++c) {
        float want = c < nch ? px[(std::size_t(y) * f.width + x) * nch + c] : fill;
        float got = f.at(k, x, y, c);
        if (std::memcmp(&want, &got, sizeof want) != 0)
          return ADD_FAILURE() << "pixel (" << x << ", " << y << ") channel " << c << ": " << got
                               << ", expected " << want;
      }
}

// Records the bands of every banded read while alive.
class BandLog {
 public:
  BandLog() {
    std::lock_guard lock(mutex_);
    bands_.clear();
    qn::io::set_band_observer(&record);
  }
  ~BandLog() { qn::io::set_band_observer(nullptr); }
  // Row counts of the bands seen, in band order.
  std::vector<std::int64_t> rows() const {
    std::lock_guard lock(mutex_);
    std::vector<std::int64_t> out(bands_.size());
    for (auto [band, count] : bands_)
      if (band < out.size()) out[band] = count;
    return out;
  }

 private:
  static void record(const std::string&, int band, std::int64_t begin, std::int64_t end) {
    std::lock_guard lock(mutex_);
    bands_.emplace_back(static_cast<std::size_t>(band), end - begin);
  }
  static inline std::mutex mutex_;
  static inline std::vector<std::pair<std::size_t, std::int64_t>> bands_;
};

// Sets (or unsets) "QUARN_NATIVE_IO_BANDS" for one scope.
class BandsEnv {
 public:
  explicit BandsEnv(std::optional<std::string> value) {
    if (value)
      setenv("QUARN_NATIVE_IO_BANDS", value->c_str(), 1);
    else
      unsetenv("QUARN_NATIVE_IO_BANDS");
  }
  ~BandsEnv() { unsetenv("QUARN_NATIVE_IO_BANDS"); }
};

class LayerLoader : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const OIIO::ImageSpec& spec) {
    return write(name, spec, qn_test::pattern(spec.width, spec.height, spec.nchannels));
  }
  std::string write(const std::string& name, const OIIO::ImageSpec& spec,
                    const std::vector<float>& px) {
    std::string path = dir.file(name), err;
    EXPECT_TRUE(qn_test::write_image(path, spec, px, &err)) << err;
    return path;
  }
  // A small RGBA half zip file with the test pattern.
  std::string small_rgba() { return write("small.exr", exr_spec(8, 6, 4, TypeDesc::HALF, "zip")); }

  qn_test::TempDir dir;
};

// ---------------------------------------------------------------------------------------------
// Plan validation: nothing opened, nothing written, no timing.
// ---------------------------------------------------------------------------------------------

TEST_F(LayerLoader, BadPlanLeavesFramesErrorAndTimingAlone) {
  const std::string missing = dir.file("never-opened.exr");
  struct Case {
    const char* what;
    std::size_t frames;
    int w, h;
    bool null_frame;
  } cases[] = {
      {"fewer frames than plan rows", 1, 4, 4, false},
      {"negative width", 2, -1, 4, false},
      {"negative height", 2, 4, -1, false},
      {"a null frame", 2, 4, 4, true},
  };
  for (const Case& c : cases) {
    Frames f(c.frames, std::max(c.w, 0), std::max(c.h, 0));
    auto dst = f.ptrs();
    if (c.null_frame) dst[1] = nullptr;
    Stats stats{kUnset, kUnset, kUnset};
    std::string err = "previous";
    EXPECT_FALSE(load_layers(missing, {}, {Row{}, Row{}}, c.w, c.h, 0, dst, err, &stats)) << c.what;
    EXPECT_EQ(err, "bad plan") << c.what;
    EXPECT_TRUE(f.untouched()) << c.what;
    EXPECT_EQ(stats.open_ms, kUnset);
    EXPECT_EQ(stats.read_ms, kUnset);
    EXPECT_EQ(stats.pack_ms, kUnset);
  }
}

TEST_F(LayerLoader, BadSlotWhenReadIndexOrChannelLeavesThePlan) {
  const std::string missing = dir.file("never-opened.exr");
  const std::vector<Read> reads{whole(8, 6, 3), {0, 2, 2, 0, 0, 8, 6}};
  const Row rows[] = {
      {channel(2, 0), constant(0), constant(0), constant(0)},   // read == number of reads
      {constant(0), channel(0, 3), constant(0), constant(0)},   // channel == nch
      {constant(0), constant(0), channel(0, -1), constant(0)},  // negative channel
      {constant(0), constant(0), constant(0), channel(1, 0)},   // read of no channels
  };
  for (const Row& row : rows) {
    Frames f(1, 2, 2);
    Stats stats{kUnset, kUnset, kUnset};
    std::string err;
    EXPECT_FALSE(load_layers(missing, reads, {row}, 2, 2, 0, f.ptrs(), err, &stats));
    EXPECT_EQ(err, "bad slot");
    EXPECT_TRUE(f.untouched());
    EXPECT_EQ(stats.open_ms, kUnset);
  }
}

TEST_F(LayerLoader, ConstantSlotIgnoresItsChannelAndReadsNothing) {
  Frames f(2, 3, 2);
  std::string err = "kept";
  Stats stats{kUnset, kUnset, kUnset};
  Row a{Slot{-5, 99, 0.25f}, constant(-1.f), constant(2.f), constant(1.f)};
  Row b{constant(0.5f), Slot{INT_MIN, -3, 4.f}, constant(0.f), constant(3.f)};
  ASSERT_TRUE(load_layers(small_rgba(), {}, {a, b}, 3, 2, 0, f.ptrs(), err, &stats));
  EXPECT_EQ(err, "kept");
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      EXPECT_EQ(f.at(0, x, y, 0), 0.25f);
      EXPECT_EQ(f.at(0, x, y, 1), -1.f);
      EXPECT_EQ(f.at(1, x, y, 1), 4.f);
      EXPECT_EQ(f.at(1, x, y, 3), 3.f);
    }
  EXPECT_GE(stats.open_ms, 0.0);
  EXPECT_GE(stats.read_ms, 0.0);
  EXPECT_GE(stats.pack_ms, 0.0);
}

TEST_F(LayerLoader, FailedOpenGivesTheLibraryTextAndNoTiming) {
  Frames f(1, 2, 2);
  Stats stats{kUnset, kUnset, kUnset};
  std::string err;
  const Row ones{constant(1), constant(1), constant(1), constant(1)};
  EXPECT_FALSE(load_layers(dir.file("absent.exr"), {}, {ones}, 2, 2, 0, f.ptrs(), err, &stats));
  EXPECT_NE(err.find("absent.exr"), std::string::npos) << err;
  EXPECT_TRUE(f.untouched());
  EXPECT_EQ(stats.open_ms, kUnset);
  EXPECT_EQ(stats.read_ms, kUnset);
}

// ---------------------------------------------------------------------------------------------
// Reads that do not fit the file: open and read timed, nothing packed.
// ---------------------------------------------------------------------------------------------

TEST_F(LayerLoader, PlanDoesNotMatchTheFile) {
  const std::string path = small_rgba();
  const Read cases[] = {
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
  for (const Read& r : cases) {
    Frames f(1, 8, 6);
    Stats stats{kUnset, kUnset, kUnset};
    std::string err;
    EXPECT_FALSE(load_layers(path, {r}, {Row{constant(1.f), constant(0), constant(0), constant(0)}},
                             8, 6, 0, f.ptrs(), err, &stats))
        << r.chbegin << ".." << r.chend;
    EXPECT_EQ(err, "plan does not match the file");
    EXPECT_TRUE(f.untouched());
    EXPECT_GE(stats.open_ms, 0.0);
    EXPECT_GE(stats.read_ms, 0.0);
    EXPECT_EQ(stats.pack_ms, kUnset);
  }
}

TEST_F(LayerLoader, ReadsAfterTheFailingOneAreNotAttempted) {
  const std::string path = write("tall.exr", exr_spec(16, 256, 4, TypeDesc::HALF, "zip"));
  const Read good = whole(16, 256, 4), bad{0, 0, 4, 0, 0, 16, 255};
  BandLog log;
  Frames f(1, 16, 256);
  Stats stats{kUnset, kUnset, kUnset};
  std::string err;
  EXPECT_FALSE(load_layers(path, {good, bad, good}, {rgba(0)}, 16, 256, 0, f.ptrs(), err, &stats));
  EXPECT_EQ(err, "plan does not match the file");
  EXPECT_EQ(log.rows(), (std::vector<std::int64_t>{64, 64, 64, 64}));  // the first read only
  EXPECT_TRUE(f.untouched());
  EXPECT_GE(stats.read_ms, 0.0);
  EXPECT_EQ(stats.pack_ms, kUnset);
}

// ---------------------------------------------------------------------------------------------
// File kinds: every channel lands where the plan says, as OpenImageIO reads it.
// ---------------------------------------------------------------------------------------------

TEST_F(LayerLoader, ReadsEveryKindOfFileAsTheLibraryDoes) {
  struct Case {
    const char* name;
    OIIO::ImageSpec spec;
  };
  std::vector<Case> cases;
  cases.push_back({"zip_half.exr", exr_spec(96, 160, 4, TypeDesc::HALF, "zip")});
  cases.push_back({"dwab_half.exr", exr_spec(96, 600, 4, TypeDesc::HALF, "dwab")});
  cases.push_back({"piz_float.exr", exr_spec(96, 160, 4, TypeDesc::FLOAT, "piz")});
  cases.push_back({"mixed.exr", exr_spec(40, 130, 4, TypeDesc::HALF, "zip")});
  cases.back().spec.channelformats = {TypeDesc::HALF, TypeDesc::FLOAT, TypeDesc::HALF,
                                      TypeDesc::FLOAT};
  cases.push_back({"lower.exr", exr_spec(40, 20, 4, TypeDesc::HALF, "zip")});
  cases.back().spec.channelnames = {"r", "g", "b", "a"};
  cases.push_back({"misnamed.exr", exr_spec(40, 20, 4, TypeDesc::FLOAT, "none")});
  cases.back().spec.channelnames = {"X", "Y", "Z", "W"};
  cases.push_back({"tiled.exr", exr_spec(72, 200, 4, TypeDesc::HALF, "zip")});
  cases.back().spec.tile_width = cases.back().spec.tile_height = 32;
  cases.push_back({"rgb.exr", exr_spec(30, 140, 3, TypeDesc::HALF, "zip")});
  cases.push_back({"rgba.png", OIIO::ImageSpec(33, 17, 4, TypeDesc::UINT8)});
  cases.push_back({"rgb.tif", OIIO::ImageSpec(33, 130, 3, TypeDesc::UINT16)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int w = c.spec.width, h = c.spec.height, nch = c.spec.nchannels;
    const std::string path = write(c.name, c.spec);
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

TEST_F(LayerLoader, PicksSubimagesAndChannelRangesOfAMultiPartFile) {
  OIIO::ImageSpec a = exr_spec(24, 140, 4, TypeDesc::HALF, "zip"),
                  b = exr_spec(24, 140, 6, TypeDesc::FLOAT, "zip");
  a.attribute("name", "beauty");
  b.attribute("name", "aovs");
  const std::string path = dir.file("multi.exr");
  std::string err;
  ASSERT_TRUE(qn_test::write_subimages(
      path, {a, b}, {qn_test::pattern(24, 140, 4), qn_test::pattern(24, 140, 6, 2.f)}, &err))
      << err;
  const auto want = reference(path, 1, 2, 6);
  Frames f(2, 24, 140);
  // Frame 0: channels 2..5 of part 1; frame 1: channel 0 of part 0 in alpha only.
  std::vector<Read> reads{{1, 2, 6, 0, 0, 24, 140}, {0, 0, 1, 0, 0, 24, 140}};
  Row alpha_only{constant(0), constant(0), constant(0), channel(1, 0)};
  ASSERT_TRUE(load_layers(path, reads, {rgba(0), alpha_only}, 24, 140, 0, f.ptrs(), err)) << err;
  expect_frame(f, 0, want, 4);
  const auto part0 = qn_test::pattern(24, 140, 4);
  EXPECT_EQ(f.at(1, 5, 100, 3), part0[(100 * 24 + 5) * 4]);
  EXPECT_EQ(f.at(1, 5, 100, 0), 0.f);
}

TEST_F(LayerLoader, ShiftedDataWindowsAreBandedFromTheirFirstRow) {
  OIIO::ImageSpec spec = exr_spec(50, 300, 4, TypeDesc::HALF, "zip");
  spec.x = -7;
  spec.y = 37;
  spec.full_x = spec.full_y = 0;
  spec.full_width = spec.full_height = 64;
  const std::string path = write("shifted.exr", spec);
  const auto want = qn_test::pattern(50, 300, 4);
  BandLog log;
  Frames f(1, 50, 300);
  std::string err;
  ASSERT_TRUE(load_layers(path, {whole(50, 300, 4)}, {rgba(0)}, 50, 300, 0, f.ptrs(), err)) << err;
  EXPECT_EQ(log.rows().size(), 4u);
  expect_frame(f, 0, want, 4);
}

TEST_F(LayerLoader, ReadsAFileWithAnEmptyDisplayWindow) {
  OIIO::ImageSpec spec = exr_spec(12, 9, 4, TypeDesc::HALF, "zip");
  spec.full_width = spec.full_height = 0;
  std::string path = dir.file("empty_display.exr"), err;
  if (!qn_test::write_image(path, spec, qn_test::pattern(12, 9, 4), &err))
    GTEST_SKIP() << "OpenImageIO does not write a 0x0 display window here: " << err;
  Frames f(1, 12, 9);
  ASSERT_TRUE(load_layers(path, {whole(12, 9, 4)}, {rgba(0)}, 12, 9, 0, f.ptrs(), err)) << err;
  expect_frame(f, 0, reference(path, 0, 0, 4), 4);
}

TEST_F(LayerLoader, DeepFilesFailCleanlyAndAreNeverBanded) {
  const std::string path = dir.file("deep.exr");
  std::string err;
  ASSERT_TRUE(qn_test::write_deep_exr(path, 20, 200, &err)) << err;
  BandLog log;
  Frames f(1, 20, 200);
  bool ok = load_layers(path, {whole(20, 200, 4)}, {rgba(0)}, 20, 200, 0, f.ptrs(), err);
  EXPECT_TRUE(log.rows().empty());
  if (!ok) {
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(f.untouched());
  }
}

// ---------------------------------------------------------------------------------------------
// Packing geometry
// ---------------------------------------------------------------------------------------------

TEST_F(LayerLoader, PlacementClipsOnBothSidesAndZeroesWhatTheReadMisses) {
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
}

TEST_F(LayerLoader, PlacementFarOffTheFrameNeverOverflows) {
  const std::string path = small_rgba();
  const Read cases[] = {
      {0, 0, 4, INT_MAX, 0, 8, 6},  // x + width beyond int32
      {0, 0, 4, INT_MIN, 0, 8, 6},  // far left
      {0, 0, 4, 0, INT_MIN, 8, 6},  // Y − y beyond int32
      {0, 0, 4, 0, INT_MAX, 8, 6},  // far below
      {0, 0, 4, INT_MAX - 3, INT_MAX - 2, 8, 6},
  };
  for (const Read& r : cases) {
    Frames f(1, 5, 4);
    std::string err;
    ASSERT_TRUE(load_layers(path, {r}, {rgba(0)}, 5, 4, 0, f.ptrs(), err)) << err;
    for (float v : f.data[0]) ASSERT_EQ(v, 0.f);
  }
}

TEST_F(LayerLoader, LargeFramesPackInParallelExactlyAsSerially) {
  const std::string path = write("large.exr", exr_spec(300, 260, 4, TypeDesc::HALF, "zip"));
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
  EXPECT_EQ(serial.at(1, 0, 7, 0), px[(40) * 4 + 2]);
}

// ---------------------------------------------------------------------------------------------
// Bands
// ---------------------------------------------------------------------------------------------

TEST_F(LayerLoader, BandsAreWholeChunksOfTheCompression) {
  struct Case {
    const char* compression;
    std::vector<std::int64_t> rows;
  } cases[] = {
      {"zip", {96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 24}},
      {"dwab", {768, 312}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.compression);
    const std::string path = write(std::string(c.compression) + ".exr",
                                   exr_spec(1920, 1080, 4, TypeDesc::HALF, c.compression));
    const auto want = reference(path, 0, 0, 4);
    BandLog log;
    Frames f(1, 1920, 1080);
    std::string err;
    ASSERT_TRUE(load_layers(path, {whole(1920, 1080, 4)}, {rgba(0)}, 1920, 1080, 0, f.ptrs(), err))
        << err;
    EXPECT_EQ(log.rows(), c.rows);
    expect_frame(f, 0, want, 4);
  }
}

TEST_F(LayerLoader, ShortTiledDeepOrSerialReadsAreWhole) {
  auto tiled = exr_spec(64, 256, 4, TypeDesc::HALF, "zip");
  tiled.tile_width = tiled.tile_height = 16;
  struct Case {
    const char* name;
    OIIO::ImageSpec spec;
    int threads;
    std::size_t bands;
  } cases[] = {
      {"127.exr", exr_spec(64, 127, 4, TypeDesc::HALF, "zip"), 0, 0},
      {"128.exr", exr_spec(64, 128, 4, TypeDesc::HALF, "zip"), 0, 2},
      {"serial.exr", exr_spec(64, 256, 4, TypeDesc::HALF, "zip"), 1, 0},
      {"tiled.exr", tiled, 0, 0},  // read_scanlines on a tiled EXR kills the process
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int w = c.spec.width, h = c.spec.height;
    const std::string path = write(c.name, c.spec);
    BandLog log;
    Frames f(1, w, h);
    std::string err;
    ASSERT_TRUE(load_layers(path, {whole(w, h, 4)}, {rgba(0)}, w, h, c.threads, f.ptrs(), err))
        << err;
    EXPECT_EQ(log.rows().size(), c.bands);
    expect_frame(f, 0, qn_test::pattern(w, h, 4), 4);
  }
}

TEST_F(LayerLoader, BandCountFollowsTheEnvironmentReadAfreshEachTime) {
  const std::string path = write("hd.exr", exr_spec(1920, 1080, 4, TypeDesc::HALF, "zip"));
  const auto want = qn_test::pattern(1920, 1080, 4);
  struct Case {
    std::optional<std::string> env;
    int threads;
    std::size_t bands;
  } cases[] = {
      {std::nullopt, 4, 4},
      {"abc", 4, 0},
      {"0", 4, 0},
      {"1", 4, 0},
      {"64", 4, 4},
      {"3", 4, 3},
      {"3", 0, 3},
      {"64", 0, 12},
      {" 2xyz", 0, 2},
      {"-9", 0, 0},
      {"99999999999999999999999", 4, 4},
      {"-99999999999999999999999", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env.value_or("(unset)") + " threads " + std::to_string(c.threads));
    BandsEnv env(c.env);
    BandLog log;
    Frames f(1, 1920, 1080);
    std::string err;
    ASSERT_TRUE(
        load_layers(path, {whole(1920, 1080, 4)}, {rgba(0)}, 1920, 1080, c.threads, f.ptrs(), err))
        << err;
    EXPECT_EQ(log.rows().size(), c.bands);
    expect_frame(f, 0, want, 4);
  }
}

TEST_F(LayerLoader, CallsOnSeveralHostThreadsAtOnceStayApart) {
  std::vector<std::string> paths;
  for (int i = 0; i < 4; ++i) {
    const auto px = qn_test::pattern(64, 256, 4, static_cast<float>(i));
    paths.push_back(write("t" + std::to_string(i) + ".exr",
                          exr_spec(64, 256, 4, TypeDesc::HALF, i % 2 ? "zip" : "dwab"), px));
  }
  std::vector<std::string> errors(paths.size());
  std::vector<Frames> frames(paths.size(), Frames(1, 64, 256));
  std::vector<std::thread> hosts;
  for (std::size_t i = 0; i < paths.size(); ++i)
    hosts.emplace_back([&, i] {
      for (int round = 0; round < 3 && errors[i].empty(); ++round)
        if (!load_layers(paths[i], {whole(64, 256, 4)}, {rgba(0)}, 64, 256, 0, frames[i].ptrs(),
                         errors[i]) &&
            errors[i].empty())
          errors[i] = "failed without a message";
    });
  for (auto& t : hosts) t.join();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    EXPECT_EQ(errors[i], "");
    expect_frame(frames[i], 0, reference(paths[i], 0, 0, 4), 4);
  }
}

// Counts bands and turns banding off from inside them, for the reads that follow.
std::atomic<int> bands_seen{0};
void count_and_stop_banding(const std::string&, int, std::int64_t, std::int64_t) {
  ++bands_seen;
  setenv("QUARN_NATIVE_IO_BANDS", "1", 1);
}

TEST_F(LayerLoader, EnvironmentIsReadAgainForEachRead) {
  const std::string path = write("two.exr", exr_spec(64, 256, 4, TypeDesc::HALF, "zip"));
  BandsEnv env("2");
  bands_seen = 0;
  qn::io::set_band_observer(&count_and_stop_banding);
  Frames f(2, 64, 256);
  std::string err;
  bool ok = load_layers(path, {whole(64, 256, 4), whole(64, 256, 4)}, {rgba(0), rgba(1)}, 64, 256,
                        0, f.ptrs(), err);
  qn::io::set_band_observer(nullptr);
  ASSERT_TRUE(ok) << err;
  EXPECT_EQ(bands_seen.load(), 2);  // the first read in two bands, the second whole
  expect_frame(f, 1, qn_test::pattern(64, 256, 4), 4);
}

// ---------------------------------------------------------------------------------------------
// The file changing under a banded read
// ---------------------------------------------------------------------------------------------

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
  auto tiled = exr_spec(64, 256, 4, TypeDesc::HALF, "zip");
  tiled.tile_width = tiled.tile_height = 64;
  auto shifted = exr_spec(64, 256, 4, TypeDesc::HALF, "zip");
  shifted.y = 5;
  struct Case {
    const char* name;
    OIIO::ImageSpec spec;
  } cases[] = {
      {"wider", exr_spec(4096, 256, 4, TypeDesc::HALF, "zip")},
      {"more channels", exr_spec(64, 256, 8, TypeDesc::HALF, "zip")},
      {"fewer channels", exr_spec(64, 256, 3, TypeDesc::HALF, "zip")},
      {"shifted rows", shifted},
      {"tiled", tiled},
  };
  const auto original = exr_spec(64, 256, 4, TypeDesc::HALF, "zip");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write("swapped.exr", original);
    Swap::from = write("replacement.exr", c.spec);
    Swap::to = path;
    qn::io::set_band_observer(&Swap::swap);
    Frames f(1, 64, 256);
    std::string err;
    bool ok = load_layers(path, {whole(64, 256, 4)}, {rgba(0)}, 64, 256, 0, f.ptrs(), err);
    qn::io::set_band_observer(nullptr);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "plan does not match the file");
    EXPECT_TRUE(f.untouched());
  }
}

// ---------------------------------------------------------------------------------------------
// Declared sizes no buffer can hold
// ---------------------------------------------------------------------------------------------

TEST_F(LayerLoader, AStagingBufferThatCannotExistThrowsTheAllocationException) {
  struct Case {
    std::int32_t w, h;
    int nch;
  } cases[] = {
      {1 << 24, 1 << 16, 1},  // 4 TiB of floats
      {1 << 22, 1 << 16, 4},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("huge.exr");
    ASSERT_TRUE(qn_test::write_exr_header_only(path, c.w, c.h, c.nch));
    Frames f(1, 4, 4);
    std::string err = "kept";
    Row row{channel(0, 0), constant(0), constant(0), constant(1)};
    EXPECT_THROW(
        (void)load_layers(path, {{0, 0, c.nch, 0, 0, c.w, c.h}}, {row}, 4, 4, 0, f.ptrs(), err),
        std::bad_alloc);
    EXPECT_EQ(err, "kept");
    EXPECT_TRUE(f.untouched());
  }
}

}  // namespace
