#include "quarn/io/layer_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>

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
constexpr Row kRgba1{Slot{1, 0, 0}, Slot{1, 1, 0}, Slot{1, 2, 0}, Slot{1, 3, 0}};
constexpr const char* kMismatch = "plan does not match the file";

using Frames = std::vector<std::vector<float>>;
Frames frames(std::size_t n, int w, int h) {
  return Frames(n, std::vector<float>(std::size_t(w) * h * 4, kUntouched));
}
std::vector<float*> ptrs(Frames& f) {
  std::vector<float*> p;
  for (auto& d : f) p.push_back(d.data());
  return p;
}
bool untouched(const Frames& f) {
  return f == Frames(f.size(), std::vector<float>(f[0].size(), kUntouched));
}

OIIO::ImageSpec exr_spec(int w, int h, int nch) { return {w, h, nch, TypeDesc::HALF}; }  // zip

// Every band of the banded reads, by index: its first and end row; `on_band` runs in each band.
std::mutex band_mutex;
std::vector<std::pair<std::int64_t, std::int64_t>> bands;  // guarded by band_mutex
std::function<void()> on_band;                             // guarded by band_mutex
void log_band(const std::string&, int band, std::int64_t begin, std::int64_t end) {
  std::lock_guard lock(band_mutex);
  if (bands.size() <= std::size_t(band)) bands.resize(band + 1);
  bands[band] = {begin, end};
  if (on_band) on_band();
}

class LayerLoader : public ::testing::Test {
 protected:
  LayerLoader() { qn::io::set_band_observer(&log_band); }
  ~LayerLoader() override {  // no test leaves its variable or its callback to the next
    unsetenv("QUARN_NATIVE_IO_BANDS");
    on_band = nullptr;
  }
  qn_test::TempDir dir;
};

// Random plans over a two-part file against a model: a read's pixel where it covers the frame, 0
// beside it, a slot's constant; reads far off the frame must not overflow x + width or Y − y. One
// plan in three is broken: refused, frames untouched, a bad plan or slot before the open.
TEST_F(LayerLoader, RandomPlansMatchAModelOrAreRefusedUntouched) {
  const int W = 300, H = 260, nch[] = {4, 6};
  const std::string path = dir.file("multi.exr");
  std::vector<float> parts[] = {qn_test::pattern(W, H, 4), qn_test::pattern(W, H, 6, 2.f)};
  ASSERT_TRUE(qn_test::write_subimages(path, {exr_spec(W, H, 4), {W, H, 6, TypeDesc::FLOAT}},
                                       {parts[0], parts[1]}));
  struct Plan {
    std::vector<Read> reads;
    std::vector<Row> rows;
    int w, h;
    std::vector<float*> dst = {};
  };
  const std::function<void(Plan&)> breaks[] = {
      [](Plan& p) { p.dst.pop_back(); },  // fewer frames than rows
      [](Plan& p) { p.dst.back() = nullptr; },
      [](Plan& p) { p.w = -1; },
      [](Plan& p) { p.h = -1; },
      [](Plan& p) { p.rows[0][0] = Slot(int(p.reads.size()), 0, 0); },
      [](Plan& p) { p.rows[0][1] = Slot(0, p.reads[0].chend - p.reads[0].chbegin, 0); },
      [](Plan& p) { p.rows[0][2] = Slot(0, -1, 0); },
  };
  const Read misfits[] = {{0, 0, 4, 0, 0, W + 1, H}, {0, 0, 4, 0, 0, W, H - 1},
                          {1, 2, 7, 0, 0, W, H},     {2, 0, 4, 0, 0, W, H},
                          {-1, 0, 4, 0, 0, W, H},    {0, -1, 3, 0, 0, W, H},
                          {0, 2, 2, 0, 0, W, H},     {0, INT_MIN, INT_MAX, 0, 0, W, H}};
  const int far[] = {INT_MIN, INT_MIN + 5, -W, W, INT_MAX - 3, INT_MAX};
  std::mt19937 rng(3);
  auto offset = [&](int range) {
    return rng() % 4 ? int(rng() % range) - range / 2 : far[rng() % 6];
  };
  for (int round = 0; round < 60; ++round) {
    Plan p{std::vector<Read>(1 + rng() % 3), std::vector<Row>(1 + rng() % 2), 1 + int(rng() % 320),
           1 + int(rng() % 280)};
    for (Read& r : p.reads) {
      const int s = rng() % 3 == 0, begin = s ? rng() % 6 : 0;
      r = {s, begin, s ? begin + 1 + int(rng() % (6 - begin)) : 4, offset(80), offset(80), W, H};
    }
    for (Row& row : p.rows) {
      const int whole = rng() % 3 ? int(rng() % p.reads.size()) : -1;  // all four from one read
      for (int c = 0; c < 4; ++c) {
        const int i = whole >= 0 ? whole : int(rng() % (p.reads.size() + 1)) - 1;
        const int n = i < 0 ? 1 : p.reads[i].chend - p.reads[i].chbegin;
        row[c] = i < 0 ? Slot{-1 - int(rng() % 9), int(rng()), float(rng() % 5)}
                       : Slot{i, whole >= 0 && n == 4 ? c : int(rng() % n), 0.f};
      }
    }
    const int w = p.w, h = p.h, threads = rng() % 3, broken = round % 3 ? -1 : round / 3 % 15;
    Frames f = frames(p.rows.size(), w, h);
    p.dst = ptrs(f);
    if (broken >= 7) p.reads.push_back(misfits[broken - 7]);
    if (broken >= 0 && broken < 7) breaks[broken](p);
    std::string err = "kept";
    qn::io::Stats stats{-1, -1, -1};
    bands.clear();
    const bool ok = load_layers(path, p.reads, p.rows, p.w, p.h, threads, p.dst, err, &stats);
    SCOPED_TRACE(testing::Message() << "round " << round << ", break " << broken);
    if (broken >= 0) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(err, broken < 4 ? "bad plan" : broken < 7 ? "bad slot" : kMismatch);
      EXPECT_TRUE(untouched(f) && stats.pack_ms == -1 &&
                  (broken < 7 ? stats.open_ms == -1 && stats.read_ms == -1 && bands.empty()
                              : stats.open_ms >= 0 && stats.read_ms >= 0));
      continue;
    }
    ASSERT_TRUE(ok) << err;
    EXPECT_TRUE(err == "kept" && stats.open_ms >= 0 && stats.read_ms >= 0 && stats.pack_ms >= 0);
    std::size_t bad = 0;
    for (std::size_t k = 0; k < p.rows.size(); ++k)
      for (std::int64_t q = 0; q < std::int64_t(w) * h; ++q)
        for (int c = 0; c < 4; ++c) {
          const Slot& slot = p.rows[k][c];
          const Read& r = p.reads[std::max(slot.read, 0)];
          const std::int64_t x = q % w - r.x, y = q / w - r.y, at = (y * W + x) * nch[r.subimage];
          const bool inside = x >= 0 && x < W && y >= 0 && y < H;
          bad += f[k][q * 4 + c] != (slot.read < 0 ? slot.value
                                     : inside ? parts[r.subimage][at + r.chbegin + slot.channel]
                                              : 0.f);
        }
    EXPECT_EQ(bad, 0u) << "threads " << threads;
  }
  // A missing file fails its open, naming the file; a deep one its read, never banded.
  for (const auto& [file, part] : {std::pair{dir.file("absent.exr"), "absent.exr"},
                                   {qn_test::write_deep_exr(dir.file("deep.exr"), 8, 200), ""}}) {
    Frames f = frames(1, 8, 200);
    std::string err;
    bands.clear();
    EXPECT_FALSE(load_layers(file, {{0, 0, 4, 0, 0, 8, 200}}, {kRgba}, 8, 200, 0, ptrs(f), err));
    EXPECT_TRUE(untouched(f) && bands.empty() && !err.empty() && err.find(part) != err.npos) << err;
  }
}

// Whole chunks (32 rows, 256 for DWAB), two or more a band, at most min(asked, threads, H / 2
// chunks) bands, each row once, as short as that allows. Header-only files fail every band read.
TEST_F(LayerLoader, BandsSplitWholeChunksWithinEveryCap) {
  const std::string big(23, '9');  // beyond long; envs[0] stands for an unset variable
  const std::string envs[] = {"", "abc", "1", "3", " 2xyz", "-9", "64", big, "-" + big};
  const std::int64_t asked[] = {16, 0, 1, 3, 2, -9, 64, INT_MAX, INT_MIN};
  for (int h : {64, 127, 128, 191, 300, 1080, 2049, 4100})
    for (const std::int64_t chunk : {32, 256}) {
      const auto path = qn_test::write_exr_header_only(dir.file("h.exr"), 1, h, chunk == 256);
      for (int e = 0; e < 9; ++e)
        for (int threads : {0, 1, 2, 5, 64}) {
          SCOPED_TRACE(testing::Message() << h << " rows, chunk " << chunk << ", env " << e
                                          << ", threads " << threads);
          e ? setenv("QUARN_NATIVE_IO_BANDS", envs[e].c_str(), 1)
            : unsetenv("QUARN_NATIVE_IO_BANDS");
          bands.clear();
          Frames f = frames(1, 1, h);
          std::string err;
          EXPECT_FALSE(
              load_layers(path, {{0, 0, 4, 0, 0, 1, h}}, {kRgba}, 1, h, threads, ptrs(f), err));
          const auto cap = std::min({asked[e], h / (2 * chunk), threads ? threads : asked[e]});
          const auto count = std::int64_t(bands.size());
          const bool banded = threads != 1 && h >= 128 && cap >= 2;
          ASSERT_TRUE(banded ? count >= 2 : count == 0) << count;
          if (!banded) continue;
          EXPECT_LE(count, cap);
          const std::int64_t rows = bands[0].second;
          EXPECT_TRUE(rows % chunk == 0 && rows >= 2 * chunk) << rows;
          EXPECT_GT((h + rows - chunk - 1) / (rows - chunk), cap) << "a chunk fewer would do";
          for (std::int64_t k = 0; k < count; ++k)
            EXPECT_EQ(bands[k],
                      std::make_pair(k * rows, std::min<std::int64_t>(h, k * rows + rows)));
        }
    }
}

// Band inputs open the file anew: swapped for another layout, it fails the read. The variable is
// read afresh: turned off inside the first read's bands, it leaves the second read whole.
TEST_F(LayerLoader, BandInputsAndTheVariableAreReadAnew) {
  const std::string path = dir.file("swapped.exr");
  const Read whole{0, 0, 4, 0, 0, 64, 256};
  auto tiled = exr_spec(64, 256, 4), shifted = exr_spec(64, 256, 4);
  tiled.tile_width = tiled.tile_height = 64;
  shifted.y = 5;
  const OIIO::ImageSpec swaps[] = {exr_spec(4096, 256, 4), exr_spec(64, 256, 8),
                                   exr_spec(64, 256, 3), shifted, tiled};
  std::string from;
  int calls = 0;
  on_band = [&] {
    ++calls;
    if (!from.empty()) std::filesystem::rename(std::exchange(from, {}), path);
    setenv("QUARN_NATIVE_IO_BANDS", "1", 1);
  };
  for (int i = 0; i <= 5; ++i) {  // each swap, then none
    qn_test::write_pattern(path, exr_spec(64, 256, 4));
    from = i < 5 ? qn_test::write_pattern(dir.file("replacement.exr"), swaps[i]) : "";
    setenv("QUARN_NATIVE_IO_BANDS", "2", 1);
    calls = 0;
    Frames f = frames(2, 64, 256);
    std::string err;
    const bool ok = load_layers(path, {whole, whole}, {kRgba, kRgba1}, 64, 256, 0, ptrs(f), err);
    EXPECT_TRUE(i < 5 ? !ok && err == kMismatch && untouched(f)
                      : ok && calls == 2 && f[0] == f[1] && f[1] == qn_test::pattern(64, 256, 4))
        << i << ": " << err;
  }
}

}  // namespace
