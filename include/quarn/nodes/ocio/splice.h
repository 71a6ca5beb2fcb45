// quarn/nodes/ocio/splice.h — OpenColorIO shader text and LUT data made ready for the GPU path.
//
// The host obtains a GLSL fragment (a function, its uniforms and LUT samplers) from OpenColorIO
// itself; this library never calls OpenColorIO. `splice` puts the fragment into the host's
// template in place of each marker line "//@OCIO" (the marker is the nine characters
// "\n//@OCIO\n"; its newlines stay, so the fragment stands on lines of its own). `patch_lut3d`
// routes the fragment's 3D-LUT lookups "texture(S, " through "qn_lut3d_trilinear(S, ", a
// function the template defines with the same arguments. `rgb_to_rgba` widens the LUT's RGB
// data for an RGBA texture.
//
// Both text operations are one pass that builds one new string (reserved once, at the text's
// length plus the replacement's or 64, whichever is longer) however many matches there are;
// the fragment is copied straight into it. Matches do not overlap and inserted text is never
// rescanned. Pure functions: nothing owned, nothing locked, any thread, no GL calls.
// Nothing fails: a missing marker or lookup leaves the text as it was.
#pragma once

#include <cstddef>
#include <string>

#include "quarn/export.h"

namespace qn::nodes::ocio {

/// The marker line that `splice` replaces.
inline constexpr const char* MARKER = "\n//@OCIO\n";

/// The trilinear lookup the host's template defines: vec4 qn_lut3d_trilinear(sampler3D, vec3).
inline constexpr const char* LUT3D_FUNCTION = "qn_lut3d_trilinear";

/// `base` with "\n" + `ocio` + "\n" in place of every marker.
QN_API std::string splice(const std::string& base, const std::string& ocio);

/// Rewrites every "texture(" + sampler + ", " in `src` to "qn_lut3d_trilinear(" + sampler + ", ";
/// other spacings and other samplers stay. True when anything was rewritten.
QN_API bool patch_lut3d(std::string& src, const std::string& sampler);

/// `n` RGB triples to `n` RGBA quadruples with alpha 1. The arrays must not overlap.
QN_API void rgb_to_rgba(const float* rgb, std::size_t n, float* rgba);

}  // namespace qn::nodes::ocio
