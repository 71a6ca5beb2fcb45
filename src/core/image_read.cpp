#include "quarn/core/image_read.h"

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <new>

#include "io/oiio_guard.h"

namespace qn {
namespace {

// width × height × channels; std::bad_array_new_length when no float vector can hold it.
std::size_t float_count(const OIIO::ImageSpec& spec) {
  std::uint64_t n = 0;
  if (spec.width < 0 || spec.height < 0 || spec.nchannels < 0 ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(spec.width),
                             static_cast<std::uint64_t>(spec.height), &n) ||
      __builtin_mul_overflow(n, static_cast<std::uint64_t>(spec.nchannels), &n) ||
      n > std::vector<float>().max_size())
    throw std::bad_array_new_length();
  return n;
}

}  // namespace

FloatImage oiio_read_float(const std::string& path) {
  FloatImage image;
  io::detail::GuardedInput in;
  if (!io::detail::guard_oiio(image.error, [&] { in.ptr() = OIIO::ImageInput::open(path); }))
    return image;
  if (!in) {
    image.error = OIIO::geterror(true);
    return image;
  }
  OIIO::ImageSpec spec;
  if (!io::detail::guard_oiio(image.error, [&] { spec = in->spec(); })) return image;
  image.width = spec.width;
  image.height = spec.height;
  image.channels = spec.nchannels;
  if (spec.depth != 1) {
    // A volume's read would fill depth × the buffer sized here.
    image.error = "volume images are not supported";
    return image;
  }
  try {
    image.data.resize(float_count(spec));
  } catch (...) {
    in.reset();
    throw;
  }
  if (image.data.empty()) return image;
  bool ok = false;
  if (!io::detail::guard_oiio(image.error, [&] {
        ok = in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, image.data.data());
        if (!ok) image.error = in->geterror(true);
      }))
    return image;
  if (!ok && image.error.empty()) image.error = "OpenImageIO could not read the pixels";
  return image;
}

}  // namespace qn
