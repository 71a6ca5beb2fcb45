// quarn/quarn.h — the umbrella header: every public header of the library, nothing else.
#pragma once

// core
#include "quarn/core/image_read.h"
#include "quarn/core/version.h"

// graph
#include "quarn/graph/flat_map.h"
#include "quarn/graph/record.h"
#include "quarn/graph/result_cache.h"
#include "quarn/graph/schedule.h"
#include "quarn/graph/walk.h"

// io
#include "quarn/io/decode_scheduler.h"
#include "quarn/io/half.h"
#include "quarn/io/layer_loader.h"
#include "quarn/io/plain_decode.h"

// gpu
#include "quarn/gpu/draw.h"
#include "quarn/gpu/gl.h"
#include "quarn/gpu/program_registry.h"

// xform
#include "quarn/xform/crop.h"
#include "quarn/xform/matrix.h"
#include "quarn/xform/plan.h"
#include "quarn/xform/step.h"

// nodes/filter
#include "quarn/nodes/filter/ops.h"
#include "quarn/nodes/filter/params.h"
#include "quarn/nodes/filter/plan.h"
#include "quarn/nodes/filter/scratch.h"

// nodes/time
#include "quarn/nodes/time/frame_mapping.h"
#include "quarn/nodes/time/temporal_weights.h"

// nodes/merge, nodes/keyer
#include "quarn/nodes/keyer/keyer.h"
#include "quarn/nodes/merge/channels.h"
#include "quarn/nodes/merge/operations.h"
#include "quarn/nodes/merge/pickers.h"

// nodes/color, nodes/ocio
#include "quarn/nodes/color/pack.h"
#include "quarn/nodes/ocio/splice.h"

// anim
#include "quarn/anim/curve.h"

// transport
#include "quarn/transport/transport.h"
