// The layer loader: validate the plan, open the file, read every read into a staging buffer
// (whole, or in bands through inputs of their own), close, pack into the caller's frames.
//
// All index arithmetic is 64-bit: plan fields are int32 and their sums and products
// (x + width, Y − y, rows × width × nch) leave that range for legal inputs.
#include "quarn/io/layer_loader.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/parallel.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

#include "core/platform.h"
#include "io/layer_bands.h"
#include "io/oiio_guard.h"

namespace qn::io {

namespace {

using Clock = std::chrono::steady_clock;
using platform::ms_since;

// Staging buffers of a few MiB and more are whole huge pages: a fresh 4K RGBA float buffer
// (132 MB) then costs some 70 page faults instead of 32 000, a third of its first-touch time.
// Smaller ones are ordinary cache-line aligned blocks.
constexpr std::size_t kHugeAdviceBytes = 4 * platform::kHugePage;
constexpr std::size_t kLineAlign = 64;

struct StagingDelete {
  bool huge = false;
  void operator()(float* p) const noexcept {
    if (huge)
      std::free(p);
    else
      ::operator delete[](p, std::align_val_t{kLineAlign});
  }
};
using Staging = std::unique_ptr<float[], StagingDelete>;

constexpr const char* kBadPlan = "bad plan";
constexpr const char* kBadSlot = "bad slot";
constexpr const char* kMismatch = "plan does not match the file";
constexpr std::int64_t kMinBandedHeight = 128;
constexpr std::int64_t kSerialPackPixels = 65535;
constexpr std::int64_t kPackChunkRows = 8;

std::atomic<BandObserver> band_observer{nullptr};

std::int64_t channel_count(const Read& r) { return std::int64_t{r.chend} - r.chbegin; }

// OpenImageIO may fail without a text; every failure still needs one.
void set_error(std::string& err, std::string text, const char* fallback) {
  err = text.empty() ? std::string(fallback) : std::move(text);
}

// Opens `path` with "oiio:threads" = `threads`; on failure `err` says why.
bool open_file(detail::GuardedInput& in, const std::string& path, int threads, std::string& err) {
  if (detail::open_input(in, path, threads, err)) return true;
  if (err.empty()) err = "cannot open the file";
  return false;
}

// ---------------------------------------------------------------------------------------------
// Validation
// ---------------------------------------------------------------------------------------------

bool plan_is_valid(const std::vector<Read>& reads, const std::vector<std::array<Slot, 4>>& slots,
                   int width, int height, const std::vector<float*>& dst, std::string& err) {
  if (dst.size() != slots.size() || width < 0 || height < 0 ||
      std::find(dst.begin(), dst.end(), nullptr) != dst.end()) {
    err = kBadPlan;
    return false;
  }
  for (const auto& row : slots) {
    for (const Slot& s : row) {
      if (s.read < 0) continue;
      if (static_cast<std::size_t>(s.read) >= reads.size() || s.channel < 0 ||
          s.channel >= channel_count(reads[static_cast<std::size_t>(s.read)])) {
        err = kBadSlot;
        return false;
      }
    }
  }
  return true;
}

// Whether subimage `spec` can serve read `r`: same size, flat, and holding the channel range.
bool fits(const OIIO::ImageSpec& spec, const Read& r) {
  return r.chbegin >= 0 && channel_count(r) >= 1 && r.width >= 0 && r.height >= 0 &&
         spec.width == r.width && spec.height == r.height && spec.depth == 1 &&
         spec.nchannels >= r.chend;
}

bool is_scanline(const OIIO::ImageSpec& spec) {
  return spec.tile_width < 1 && spec.tile_height < 1 && !spec.deep;
}

// width × height × nch floats; a count beyond int64 cannot be allocated either.
std::int64_t staging_count(const Read& r) {
  std::int64_t count = 0;
  if (__builtin_mul_overflow(std::int64_t{r.width}, std::int64_t{r.height}, &count) ||
      __builtin_mul_overflow(count, channel_count(r), &count))
    throw std::bad_array_new_length();
  return count;
}

// At least one float. Allocated without throwing and checked, so that a sanitizer's allocator
// that returns null for an impossible size still ends in the same std::bad_alloc.
Staging allocate_staging(std::int64_t count) {
  const auto n = static_cast<std::size_t>(std::max<std::int64_t>(count, 1));
  if (n > SIZE_MAX / sizeof(float)) throw std::bad_array_new_length();
  const std::size_t bytes = n * sizeof(float);
  const bool huge = bytes >= kHugeAdviceBytes;
  void* p = huge ? platform::allocate_huge_pages(bytes)
                 : ::operator new[](bytes, std::align_val_t{kLineAlign}, std::nothrow);
  if (p == nullptr) throw std::bad_alloc();
  return Staging(static_cast<float*>(p), StagingDelete{huge});
}

// ---------------------------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------------------------

// Only tall scanline images are banded: read_scanlines on a tiled file is not safe to call.
detail::Bands choose_bands(const OIIO::ImageSpec& spec, int threads) {
  if (threads == 1 || !is_scanline(spec) || spec.height < kMinBandedHeight ||
      std::int64_t{spec.y} + spec.height > INT_MAX)
    return {};
  int chunk = detail::chunk_rows(spec.get_string_attribute("compression"));
  return detail::split_rows(spec.height, chunk, threads);
}

bool read_whole(OIIO::ImageInput& in, const Read& r, float* out, std::string& err) {
  bool read = false;
  if (!detail::guard_oiio(err, [&] {
        read = in.read_image(r.subimage, 0, r.chbegin, r.chend, OIIO::TypeDesc::FLOAT, out);
      }))
    return false;
  if (!read) set_error(err, in.geterror(true), "read_image failed");
  return read;
}

// A band input sees the file anew; it may have been replaced since the main input opened it.
bool same_layout(const OIIO::ImageSpec& band, const OIIO::ImageSpec& main) {
  return is_scanline(band) && band.width == main.width && band.height == main.height &&
         band.depth == 1 && band.x == main.x && band.y == main.y &&
         band.nchannels == main.nchannels;
}

// Reads rows [begin, end) of read `r` into `out` through an input of its own.
bool read_band(const std::string& path, const OIIO::ImageSpec& main, const Read& r,
               std::int64_t begin, std::int64_t end, float* out, std::string& err) {
  detail::GuardedInput in;
  if (!open_file(in, path, 1, err)) return false;
  bool same = false, read = false;
  if (!detail::guard_oiio(err, [&] {
        OIIO::ImageSpec spec = in->spec(r.subimage, 0);
        same = same_layout(spec, main);
        if (!same) return;
        int ybegin = static_cast<int>(spec.y + begin), yend = static_cast<int>(spec.y + end);
        read = in->read_scanlines(r.subimage, 0, ybegin, yend, 0, r.chbegin, r.chend,
                                  OIIO::TypeDesc::FLOAT, out);
      }))
    return false;
  if (!same) {
    err = kMismatch;
    return false;
  }
  if (!read) set_error(err, in->geterror(true), "read_scanlines failed");
  return read;
}

bool read_banded(const std::string& path, const OIIO::ImageSpec& main, const Read& r,
                 detail::Bands bands, float* out, std::string& err) {
  const std::int64_t height = r.height;
  const std::int64_t row_floats = std::int64_t{r.width} * channel_count(r);
  std::atomic<bool> ok{true};
  std::mutex mutex;
  std::string band_error;  // guarded by mutex: the text of the band that failed last
  auto band = [&](std::int64_t k) {
    const std::int64_t begin = k * bands.rows, end = std::min(height, begin + bands.rows);
    if (BandObserver observe = band_observer.load()) observe(path, static_cast<int>(k), begin, end);
    std::string what;
    if (read_band(path, main, r, begin, end, out + begin * row_floats, what)) return;
    std::lock_guard lock(mutex);
    band_error = std::move(what);
    ok.exchange(false);
  };
  OIIO::parallel_for(std::int64_t{0}, bands.count, band,
                     OIIO::paropt(static_cast<int>(bands.count), OIIO::paropt::SplitDir::Y, 1));
  if (ok.load()) return true;
  std::lock_guard lock(mutex);
  err = std::move(band_error);
  return false;
}

// Reads `r` into a new staging buffer, whole or in bands.
bool read_one(OIIO::ImageInput& in, const std::string& path, const Read& r, int threads,
              Staging& staging, std::string& err) {
  OIIO::ImageSpec spec;
  if (r.subimage >= 0) {
    if (!detail::guard_oiio(err, [&] { spec = in.spec(r.subimage, 0); })) return false;
  }
  if (r.subimage < 0 || !fits(spec, r)) {
    err = kMismatch;
    return false;
  }
  const std::int64_t count = staging_count(r);
  staging = allocate_staging(count);
  if (count == 0) return true;
  detail::Bands bands = choose_bands(spec, threads);
  if (bands.count < 2) return read_whole(in, r, staging.get(), err);
  return read_banded(path, spec, r, bands, staging.get(), err);
}

// ---------------------------------------------------------------------------------------------
// Packing
// ---------------------------------------------------------------------------------------------

struct Packer {
  const std::vector<Read>& reads;
  const std::vector<Staging>& staging;
  const std::vector<std::array<Slot, 4>>& slots;
  const std::vector<float*>& dst;
  std::int64_t width;

  // What read `i` gives output row `y`: its first pixel for column x0, and the columns [x0, x1)
  // it covers once clipped to the frame; null when it covers none.
  const float* source(std::int32_t i, std::int64_t y, std::int64_t& x0, std::int64_t& x1) const {
    const Read& r = reads[static_cast<std::size_t>(i)];
    const std::int64_t ry = y - r.y;
    x0 = std::max<std::int64_t>(r.x, 0);
    x1 = std::min(std::int64_t{r.x} + r.width, width);
    if (ry < 0 || ry >= r.height || x0 >= x1) return nullptr;
    return staging[static_cast<std::size_t>(i)].get() +
           (ry * r.width + (x0 - r.x)) * channel_count(r);
  }

  static void fill(float* row, std::int64_t from, std::int64_t to, int c, float value) {
    for (std::int64_t x = from; x < to; ++x) row[x * 4 + c] = value;
  }

  // Channel c of output row `y` from slot s: the read's row clipped to the frame, 0 beside it.
  void pack_channel(float* row, std::int64_t y, int c, const Slot& s) const {
    if (s.read < 0) return fill(row, 0, width, c, s.value);
    std::int64_t x0, x1;
    const float* src = source(s.read, y, x0, x1);
    if (!src) return fill(row, 0, width, c, 0.f);
    const std::int64_t nch = channel_count(reads[static_cast<std::size_t>(s.read)]);
    src += s.channel;
    fill(row, 0, x0, c, 0.f);
    for (std::int64_t x = x0; x < x1; ++x, src += nch) row[x * 4 + c] = *src;
    fill(row, x1, width, c, 0.f);
  }

  // The common plan row, all four channels from one read, in one pass over the pixels: a plain
  // copy when they are channels 0 to 3 of a four-channel read. False for any other row.
  bool pack_pixels(float* row, std::int64_t y, const std::array<Slot, 4>& s) const {
    const std::int32_t i = s[0].read;
    if (i < 0 || s[1].read != i || s[2].read != i || s[3].read != i) return false;
    std::int64_t x0, x1;
    const float* src = source(i, y, x0, x1);
    if (!src) {
      std::fill(row, row + width * 4, 0.f);
      return true;
    }
    const std::int64_t nch = channel_count(reads[static_cast<std::size_t>(i)]);
    std::fill(row, row + x0 * 4, 0.f);
    float* out = row + x0 * 4;
    if (nch == 4 && s[0].channel == 0 && s[1].channel == 1 && s[2].channel == 2 &&
        s[3].channel == 3) {
      std::memcpy(out, src, static_cast<std::size_t>(x1 - x0) * 4 * sizeof(float));
    } else {
      for (std::int64_t x = x0; x < x1; ++x, src += nch, out += 4)
        for (int c = 0; c < 4; ++c) out[c] = src[s[c].channel];
    }
    std::fill(row + x1 * 4, row + width * 4, 0.f);
    return true;
  }

  void rows(std::int64_t begin, std::int64_t end) const {
    for (std::int64_t y = begin; y < end; ++y)
      for (std::size_t k = 0; k < slots.size(); ++k) {
        float* row = dst[k] + y * width * 4;
        if (pack_pixels(row, y, slots[k])) continue;
        for (int c = 0; c < 4; ++c) pack_channel(row, y, c, slots[k][c]);
      }
  }
};

void pack(const Packer& packer, std::int64_t height, int threads) {
  if (threads == 1 || packer.width * height <= kSerialPackPixels) return packer.rows(0, height);
  OIIO::parallel_for_chunked(
      0, height, kPackChunkRows,
      [&packer](std::int64_t begin, std::int64_t end) { packer.rows(begin, end); },
      OIIO::paropt(std::max(threads, 0), OIIO::paropt::SplitDir::Y, 1));
}

}  // namespace

bool load_layers(const std::string& path, const std::vector<Read>& reads,
                 const std::vector<std::array<Slot, 4>>& slots, int width, int height, int threads,
                 const std::vector<float*>& dst, std::string& err, Stats* stats) {
  if (!plan_is_valid(reads, slots, width, height, dst, err)) return false;

  const auto open_start = Clock::now();
  detail::GuardedInput main;
  if (!open_file(main, path, threads, err)) return false;
  if (stats) stats->open_ms = ms_since(open_start);

  const auto read_start = Clock::now();
  std::vector<Staging> staging(reads.size());
  bool ok = true;
  for (std::size_t i = 0; ok && i < reads.size(); ++i)
    ok = read_one(*main, path, reads[i], threads, staging[i], err);
  main.reset();
  if (stats) stats->read_ms = ms_since(read_start);
  if (!ok) return false;

  const auto pack_start = Clock::now();
  pack(Packer{reads, staging, slots, dst, width}, height, threads);
  if (stats) stats->pack_ms = ms_since(pack_start);
  return true;
}

void set_band_observer(BandObserver observer) { band_observer.store(observer); }

}  // namespace qn::io
