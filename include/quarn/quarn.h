// quarn/quarn.h — the umbrella header: every public header of the library, nothing else.
#pragma once

// core
#include "quarn/core/version.h"

// graph
#include "quarn/graph/flat_map.h"
#include "quarn/graph/record.h"
#include "quarn/graph/result_cache.h"
#include "quarn/graph/schedule.h"
#include "quarn/graph/walk.h"
