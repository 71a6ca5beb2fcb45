// quarn/quarn.h — the umbrella header: every public header of the library, nothing else.
#pragma once

// core
#include "quarn/core/version.h"

// gpu
#include "quarn/gpu/draw.h"
#include "quarn/gpu/gl.h"
#include "quarn/gpu/program_registry.h"

// nodes/time
#include "quarn/nodes/time/frame_mapping.h"
#include "quarn/nodes/time/temporal_weights.h"

// anim
#include "quarn/anim/curve.h"
