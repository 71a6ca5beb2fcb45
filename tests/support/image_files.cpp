#include "support/image_files.h"

#include <OpenImageIO/deepdata.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>

namespace qn_test {

OIIO::ImageSpec named_spec(int w, int h, OIIO::TypeDesc format,
                           const std::vector<std::string>& names) {
  OIIO::ImageSpec spec(w, h, static_cast<int>(names.size()), format);
  spec.channelnames = names;
  return spec;
}

std::vector<float> pattern(int w, int h, int c, float seed) {
  std::vector<float> v(static_cast<size_t>(w) * h * c);
  for (size_t i = 0; i < v.size(); ++i) {
    const size_t x = i / c % w, y = i / c / w, ch = i % c;
    v[i] = seed + static_cast<float>((x * 7 + y * 13 + ch * 29) % 1024) / 128.f;
  }
  return v;
}

bool write_subimages(const std::string& path, const std::vector<OIIO::ImageSpec>& specs,
                     const std::vector<std::vector<float>>& pixels, std::string* err) {
  auto out = OIIO::ImageOutput::create(path);
  bool ok = out && specs.size() == pixels.size() &&
            out->open(path, static_cast<int>(specs.size()), specs.data());
  for (size_t i = 0; ok && i < specs.size(); ++i)
    ok = (i == 0 || out->open(path, specs[i], OIIO::ImageOutput::AppendSubimage)) &&
         out->write_image(OIIO::TypeDesc::FLOAT, pixels[i].data());
  if (ok && out->close()) return true;
  if (err) *err = out ? out->geterror() : OIIO::geterror();
  return false;
}

std::string write_pattern(const std::string& path, const OIIO::ImageSpec& spec) {
  std::string err;
  if (!write_subimages(path, {spec}, {pattern(spec.width, spec.height, spec.nchannels)}, &err))
    ADD_FAILURE() << "cannot write " << path << ": " << err;
  return path;
}

std::string write_deep_exr(const std::string& path, int w, int h) {
  OIIO::ImageSpec spec = named_spec(w, h, OIIO::TypeDesc::FLOAT, {"R", "G", "B", "A", "Z"});
  spec.z_channel = 4;
  spec.deep = true;
  OIIO::DeepData deep(spec);
  for (int64_t p = 0; p < deep.pixels(); ++p) {
    deep.set_samples(p, static_cast<int>((p % w + p / w) % 3));
    for (int s = 0; s < deep.samples(p); ++s)
      for (int c = 0; c < 5; ++c) deep.set_deep_value(p, c, s, static_cast<float>(c + s) * 0.25f);
  }
  auto out = OIIO::ImageOutput::create(path);
  if (!out || !out->open(path, spec) || !out->write_deep_image(deep) || !out->close())
    ADD_FAILURE() << "cannot write " << path << ": " << (out ? out->geterror() : "");
  return path;
}

std::string write_exr_header_only(const std::string& path, int w, int h, bool dwab) {
  std::string f;
  auto put = [&f](auto v) { f.append(reinterpret_cast<const char*>(&v), sizeof v); };  // LE
  auto text = [&f](const std::string& s) { f.append(s.c_str(), s.size() + 1); };
  auto attribute = [&](const char* name, const char* type, int32_t size, auto&&... values) {
    text(name);
    text(type);
    put(size);
    (put(values), ...);
  };
  put(int32_t{20000630});  // magic
  put(int32_t{2});         // version 2, single-part scanline
  attribute("channels", "chlist", 4 * 18 + 1);
  for (const char* name : {"A", "B", "G", "R"}) {  // sorted, as EXR keeps them
    text(name);
    for (int32_t v : {1, 0, 1, 1}) put(v);  // HALF, pLinear + reserved, x and y sampling
  }
  put(char{0});
  attribute("compression", "compression", 1, static_cast<char>(dwab ? 9 : 0));
  attribute("dataWindow", "box2i", 16, int32_t{0}, int32_t{0}, int32_t{w - 1}, int32_t{h - 1});
  attribute("displayWindow", "box2i", 16, int32_t{0}, int32_t{0}, int32_t{w - 1}, int32_t{h - 1});
  attribute("lineOrder", "lineOrder", 1, char{0});
  attribute("pixelAspectRatio", "float", 4, 1.f);
  attribute("screenWindowCenter", "v2f", 8, 0.f, 0.f);
  attribute("screenWindowWidth", "float", 4, 1.f);
  put(char{0});  // end of header
  const uint64_t end = f.size() + static_cast<uint64_t>(h) * 8;
  for (int row = 0; row < h; ++row) put(end);
  std::ofstream(path, std::ios::binary).write(f.data(), static_cast<std::streamsize>(f.size()));
  return path;
}

}  // namespace qn_test
