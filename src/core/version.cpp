#include "quarn/core/version.h"

#include <OpenImageIO/imageio.h>

#include <cstdlib>

namespace qn {

const char* core_version() { return "0.1.0"; }

std::string oiio_header_version() { return OIIO_VERSION_STRING; }

std::string oiio_runtime_version() { return oiio_version_text(OIIO::openimageio_version()); }

std::string oiio_version_text(int version) {
  const long v = std::labs(static_cast<long>(version));
  return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." +
         std::to_string(v % 100);
}

}  // namespace qn
