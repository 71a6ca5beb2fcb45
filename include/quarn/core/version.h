// quarn/core/version.h — the library's own version and the OpenImageIO it is built and runs with.
//
// Stateless; callable from any thread. Never fails.
#pragma once

#include <string>

#include "quarn/export.h"

namespace qn {

/// The library version, "0.1.0": a pointer to static text, the same on every call.
QN_API const char* core_version();

/// The version string of the OpenImageIO headers the library was compiled against, four
/// components ("2.4.7.1"): fixed at build time, whatever library is loaded later.
QN_API std::string oiio_header_version();

/// The version of the OpenImageIO library loaded in this process, "major.minor.patch".
QN_API std::string oiio_runtime_version();

/// How `oiio_runtime_version` spells OpenImageIO's version number 10000 × major + 100 × minor +
/// patch: 30118 gives "3.1.18", 30200 gives "3.2.0" (no leading zeros, no fourth component).
/// Negative numbers, which no release has, are spelled as their absolute value.
QN_API std::string oiio_version_text(int version);

}  // namespace qn
