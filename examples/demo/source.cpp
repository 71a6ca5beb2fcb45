#include "source.h"

#include <OpenImageIO/imageio.h>

#include "pipeline.h"
#include "quarn/config.h"

namespace demo {

bool write_source(const Shot& shot, const std::string& pattern, std::string* err) {
  namespace OIIO = QN_OIIO_NAMESPACE;
  const int w = shot.width, h = shot.height;
  for (long long f = shot.first; f <= source_last(shot); ++f) {
    const std::string path = frame_path(pattern, f);
    std::vector<float> px = source_pattern(f, w, h);
    const int layout = source_layout(f);
    OIIO::ImageSpec spec(w, h, 4, layout == 1 ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
    if (layout == 0) spec.tile_width = spec.tile_height = 64;
    if (layout == 2) {  // a grey beauty in R, G, B, A and the pattern in the "fg" layer
      spec.nchannels = 8;
      spec.channelnames = {"R", "G", "B", "A", "fg.R", "fg.G", "fg.B", "fg.A"};
      std::vector<float> both(static_cast<size_t>(w) * h * 8, 0.5f);
      for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i)
        for (int c = 0; c < 4; ++c) both[i * 8 + 4 + c] = px[i * 4 + c];
      px.swap(both);
    }
    auto out = OIIO::ImageOutput::create(path);
    if (!out || !out->open(path, spec) || !out->write_image(OIIO::TypeDesc::FLOAT, px.data()) ||
        !out->close()) {
      *err =
          "cannot write source frame " + path + ": " + (out ? out->geterror() : OIIO::geterror());
      return false;
    }
  }
  return true;
}

}  // namespace demo
