// quarn/quarn.h — the umbrella header: every public header of the library, nothing else.
#pragma once

// core
#include "quarn/core/version.h"

// xform
#include "quarn/xform/crop.h"
#include "quarn/xform/matrix.h"
#include "quarn/xform/plan.h"
#include "quarn/xform/step.h"
