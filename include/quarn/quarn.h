// quarn/quarn.h — the umbrella header: every public header of the library, nothing else.
#pragma once

// core
#include "quarn/core/image_read.h"
#include "quarn/core/version.h"

// io: half floats, plain decode, decode scheduler
#include "quarn/io/decode_scheduler.h"
#include "quarn/io/half.h"
#include "quarn/io/plain_decode.h"
