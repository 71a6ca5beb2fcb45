// gpu/uniform_upload.h — the registry's upload path, shared with the draw call (internal).
#pragma once

#include <cstdint>

#include "quarn/gpu/program_registry.h"

namespace qn::gpu::detail {

/// Applies `n` records in order as `uniform_set` does, looking the program up once. Records
/// whose count is outside 0..16 are passed over. The caller has checked that the layer is
/// loaded, that `list` is not null and that `n` is positive (anything else applies nothing).
void apply_pending(std::uint32_t program, const Pending* list, int n);

}  // namespace qn::gpu::detail
