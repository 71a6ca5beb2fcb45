// quarn/core/version.h — the library's own version.
//
// Stateless; callable from any thread. Never fails.
#pragma once

#include "quarn/export.h"

namespace qn {

/// The library version, "0.1.0": a pointer to static text, the same on every call.
QN_API const char* core_version();

}  // namespace qn
