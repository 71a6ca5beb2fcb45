#include "support/image_files.h"

#include <memory>

namespace qn_test {

std::vector<float> pattern(int w, int h, int c, float seed) {
  std::vector<float> v(static_cast<size_t>(w) * h * c);
  size_t i = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int ch = 0; ch < c; ++ch)
        v[i++] = seed + static_cast<float>((x * 7 + y * 13 + ch * 29) % 1024) / 128.f;
  return v;
}

bool write_image(const std::string& path, const OIIO::ImageSpec& spec,
                 const std::vector<float>& pixels, std::string* err) {
  return write_subimages(path, {spec}, {pixels}, err);
}

bool write_subimages(const std::string& path, const std::vector<OIIO::ImageSpec>& specs,
                     const std::vector<std::vector<float>>& pixels, std::string* err) {
  auto fail = [&](const std::string& what) {
    if (err) *err = what;
    return false;
  };
  if (specs.empty() || specs.size() != pixels.size()) return fail("specs and pixels differ");
  auto out = OIIO::ImageOutput::create(path);
  if (!out) return fail(OIIO::geterror());
  bool multi = specs.size() > 1;
  if (multi && !out->supports("multiimage")) return fail("format has no subimages");
  bool opened = multi ? out->open(path, static_cast<int>(specs.size()), specs.data())
                      : out->open(path, specs[0]);
  if (!opened) return fail(out->geterror());
  for (size_t i = 0; i < specs.size(); ++i) {
    if (i > 0 && !out->open(path, specs[i], OIIO::ImageOutput::AppendSubimage))
      return fail(out->geterror());
    if (!out->write_image(OIIO::TypeDesc::FLOAT, pixels[i].data())) return fail(out->geterror());
  }
  if (!out->close()) return fail(out->geterror());
  return true;
}

}  // namespace qn_test
