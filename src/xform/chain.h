// xform/chain.h — step matrices for callers that already hold the routines.
#pragma once

#include "xform/hooks.h"

#include <vector>

namespace qn::xform::detail {

std::optional<Matrix> step_matrix(const Blas& f, const std::vector<double>& step, long& width,
                                  long& height, bool& crop);

}  // namespace qn::xform::detail
