// examples/demo/source.h — the embedded source sequence, written with OpenImageIO.
#pragma once

#include <string>

#include "shot.h"

namespace demo {

/// Writes source frames shot.first .. source_last(shot) as `pattern` names them, each stored
/// as `source_layout` says. False with the reason in `*err`.
bool write_source(const Shot& shot, const std::string& pattern, std::string* err);

}  // namespace demo
