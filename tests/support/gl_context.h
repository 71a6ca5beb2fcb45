// tests/support/gl_context.h — headless OpenGL 4.5 core contexts on Mesa's llvmpipe for the gpu
// suites and benchmarks: the host helper's (examples/host/context.h).
#pragma once

#include "host/context.h"

namespace qn_test {

using qn_host::egl_unavailable;
using qn_host::GlContext;

}  // namespace qn_test
