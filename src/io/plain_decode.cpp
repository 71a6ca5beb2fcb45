#include <OpenImageIO/imageio.h>

#include "quarn/io/plain_decode.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "core/platform.h"
#include "io/oiio_guard.h"
#include "quarn/io/half.h"

// The public header names OpenImageIO's spec type without its headers; it must be this one.
static_assert(std::is_same_v<QN_OIIO_NAMESPACE::ImageSpec, OIIO::ImageSpec>);

namespace qn::io {
namespace {

using Clock = std::chrono::steady_clock;
using platform::ms_since;

// mtime as one nanosecond count; a time too far from the epoch for 64 bits counts as unknown
// rather than as a wrapped value.
void read_status(const std::string& path, DecodeResult& result) {
  const auto start = Clock::now();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    std::int64_t ns = 0;
    const bool wraps =
        __builtin_mul_overflow(static_cast<std::int64_t>(st.st_mtim.tv_sec), 1000000000, &ns) ||
        __builtin_add_overflow(ns, static_cast<std::int64_t>(st.st_mtim.tv_nsec), &ns);
    if (!wraps) {
      result.has_mtime = true;
      result.mtime_ns = ns;
    }
  }
  result.stat_s = ms_since(start) / 1000.0;
}

bool is_plain(const OIIO::ImageSpec& spec) {
  if (spec.deep || spec.depth != 1 || spec.nchannels != 4 || spec.width < 0 || spec.height < 0)
    return false;
  static const char* const kNames[4] = {"R", "G", "B", "A"};
  if (spec.channelnames.size() != 4) return false;
  for (int c = 0; c < 4; ++c)
    if (spec.channelnames[c] != kNames[c]) return false;
  return spec.x == spec.full_x && spec.y == spec.full_y &&
         (spec.full_width == 0 || spec.width == spec.full_width) &&
         (spec.full_height == 0 || spec.height == spec.full_height);
}

bool is_all_half(const OIIO::ImageSpec& spec) {
  if (spec.format != OIIO::TypeDesc::HALF) return false;
  for (const OIIO::TypeDesc& f : spec.channelformats)
    if (f != OIIO::TypeDesc::HALF) return false;
  return true;
}

// width × height × 4, or std::bad_array_new_length when no array of T can hold that many.
template <typename T>
std::unique_ptr<T[]> allocate_pixels(const OIIO::ImageSpec& spec) {
  std::uint64_t n = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(spec.width),
                             static_cast<std::uint64_t>(spec.height), &n) ||
      __builtin_mul_overflow(n, std::uint64_t{4}, &n) ||
      n > static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(T))
    throw std::bad_array_new_length();
  return std::unique_ptr<T[]>(new T[n == 0 ? 1 : n]);
}

}  // namespace

void decode_plain(const std::string& path, int threads, DecodeResult& result) {
  read_status(path, result);

  const auto read_start = Clock::now();
  detail::GuardedInput in;
  OIIO::ImageSpec spec;
  bool plain = false;
  // An exception out of OpenImageIO while opening counts as a failed open, later ones as a
  // failed read.
  if (!detail::open_input(in, path, threads, result.error)) {
    result.state = DECODE_OPEN_FAILED;
    return;
  }
  if (!detail::guard_oiio(result.error,
                          [&] {
                            spec = in->spec();
                            plain = is_plain(spec) && !in->seek_subimage(1, 0);
                            in->geterror(true);  // the probe of subimage 1 leaves no error behind
                            plain = plain && in->seek_subimage(0, 0);
                          }) ||
      !plain) {
    result.state = DECODE_NOT_PLAIN;
    return;
  }

  // Our own buffers: their allocation failures go to the caller, the input released first.
  std::unique_ptr<float[]> pixels;
  std::unique_ptr<unsigned short[]> halves;
  const bool half = is_all_half(spec);
  try {
    pixels = allocate_pixels<float>(spec);
    if (half) halves = allocate_pixels<unsigned short>(spec);
  } catch (...) {
    in.reset();
    throw;
  }

  bool read_ok = false;
  const bool returned = detail::guard_oiio(result.error, [&] {
    read_ok = half ? in->read_image(0, 0, 0, 4, OIIO::TypeDesc::HALF, halves.get())
                   : in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, pixels.get());
    if (!read_ok) in->geterror(true);
  });
  result.read_ms = ms_since(read_start);
  if (!returned || !read_ok) {
    result.state = DECODE_NOT_PLAIN;
    return;
  }
  if (half) {
    const auto convert_start = Clock::now();
    half_to_float(halves.get(), pixels.get(),
                  static_cast<std::uint64_t>(spec.width) * spec.height * 4);
    result.convert_ms = ms_since(convert_start);
    halves.reset();
  }
  in.reset();

  result.spec = std::make_shared<OIIO::ImageSpec>(std::move(spec));
  result.pixels = std::move(pixels);
  result.width = result.spec->width;
  result.height = result.spec->height;
  result.state = DECODE_DONE;
}

}  // namespace qn::io
