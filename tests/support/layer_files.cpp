#include "support/layer_files.h"

#include <OpenImageIO/deepdata.h>
#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <fstream>
#include <vector>

namespace qn_test {

bool write_deep_exr(const std::string& path, int w, int h, std::string* err) {
  auto fail = [&](const std::string& what) {
    if (err) *err = what;
    return false;
  };
  OIIO::ImageSpec spec(w, h, 5, OIIO::TypeDesc::FLOAT);
  spec.channelnames = {"R", "G", "B", "A", "Z"};
  spec.z_channel = 4;
  spec.alpha_channel = 3;
  spec.deep = true;
  OIIO::DeepData deep(spec);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) deep.set_samples(static_cast<int64_t>(y) * w + x, (x + y) % 3);
  for (int64_t p = 0; p < deep.pixels(); ++p)
    for (int s = 0; s < deep.samples(p); ++s)
      for (int c = 0; c < 5; ++c) deep.set_deep_value(p, c, s, static_cast<float>(c + s) * 0.25f);
  auto out = OIIO::ImageOutput::create(path);
  if (!out) return fail(OIIO::geterror());
  if (!out->open(path, spec) || !out->write_deep_image(deep) || !out->close())
    return fail(out->geterror());
  return true;
}

namespace {

class ExrBytes {
 public:
  void raw(const void* p, size_t n) {
    auto* b = static_cast<const char*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  template <class T>
  void put(T v) {
    raw(&v, sizeof v);  // EXR is little-endian, like x86-64
  }
  void text(const std::string& s) { raw(s.c_str(), s.size() + 1); }
  void attribute(const std::string& name, const std::string& type, const std::vector<char>& value) {
    text(name);
    text(type);
    put<int32_t>(static_cast<int32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
  }
  const std::vector<char>& bytes() const { return bytes_; }

 private:
  std::vector<char> bytes_;
};

template <class... T>
std::vector<char> pack(T... values) {
  ExrBytes b;
  (b.put(values), ...);
  return b.bytes();
}

}  // namespace

bool write_exr_header_only(const std::string& path, int32_t w, int32_t h, int channels) {
  ExrBytes chlist;
  for (int c = 0; c < channels; ++c) {
    char name[16];
    std::snprintf(name, sizeof name, "C%d", c);
    chlist.text(name);
    chlist.put<int32_t>(1);  // HALF
    chlist.put<int32_t>(0);  // pLinear and three reserved bytes
    chlist.put<int32_t>(1);  // x sampling
    chlist.put<int32_t>(1);  // y sampling
  }
  chlist.put<char>(0);

  ExrBytes f;
  f.put<int32_t>(20000630);  // magic
  f.put<int32_t>(2);         // version 2, single-part scanline
  f.attribute("channels", "chlist", chlist.bytes());
  f.attribute("compression", "compression", {0});  // none: one row per block
  // Windows must stay within ±INT_MAX / 2, so a wide data window is centred on the origin.
  const int32_t x0 = -(w / 2), y0 = -(h / 2);
  f.attribute("dataWindow", "box2i", pack<int32_t>(x0, y0, x0 + (w - 1), y0 + (h - 1)));
  f.attribute("displayWindow", "box2i", pack<int32_t>(0, 0, 63, 63));
  f.attribute("lineOrder", "lineOrder", {0});
  f.attribute("pixelAspectRatio", "float", pack<float>(1.f));
  f.attribute("screenWindowCenter", "v2f", pack<float>(0.f, 0.f));
  f.attribute("screenWindowWidth", "float", pack<float>(1.f));
  f.put<char>(0);  // end of header
  // The offset table, pointing past the end of the file: there is no pixel data.
  const uint64_t end = f.bytes().size() + static_cast<uint64_t>(h) * sizeof(uint64_t);
  for (int32_t row = 0; row < h; ++row) f.put<uint64_t>(end);
  std::ofstream out(path, std::ios::binary);
  out.write(f.bytes().data(), static_cast<std::streamsize>(f.bytes().size()));
  return static_cast<bool>(out);
}

}  // namespace qn_test
