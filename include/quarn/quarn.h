// quarn/quarn.h — the umbrella header: every public header of the library, nothing else.
#pragma once

// core
#include "quarn/core/version.h"
// io
#include "quarn/io/layer_loader.h"
