// quarn/gpu/draw.h — the one draw call of the filter passes.
//
// `draw` renders one full-target pass: bind the target framebuffer, set viewport and scissor
// box to the whole target, bind the program, upload the pass's uniforms through the program
// registry (unchanged values cost no GL call), bind textures and samplers to units, draw one
// instance of `count` indices from `vao`'s element buffer, then bind vertex array 0 and the
// caller's framebuffer again. The program, the active unit and the texture and sampler
// bindings stay as the draw left them; nothing else is saved or restored, and whether the
// scissor test is enabled stays the caller's business.
//
// Every draw made raises `stats().draws` (quarn/gpu/counters.h, included here).
//
// Owns: nothing; never owns GL objects.
//
// Threads: the host's GL thread only; nothing is locked.
//
// Failures: `draw` returns -2, makes no GL call and counts nothing when the context rule fails
// (no current context on the thread, or one other than the loaded context; see quarn/gpu/gl.h).
// `draw_in_context` trusts its caller on the context but returns -2 the same way when the
// layer is not loaded (its entry points may be null). GL errors are never queried.
#pragma once

#include <cstdint>

#include "quarn/export.h"
#include "quarn/gpu/counters.h"
#include "quarn/gpu/program_registry.h"

namespace qn::gpu {

/// One texture-unit binding.
struct Unit {
  std::uint32_t unit;     // 0 for GL_TEXTURE0, 1 for the next, ...
  std::uint32_t target;   // texture target, e.g. GL_TEXTURE_2D
  std::uint32_t texture;  // texture name
  std::uint32_t sampler;  // sampler name; 0 unbinds any sampler from the unit
};

/// What `draw` and `draw_in_context` return.
inline constexpr int DRAW_DONE = 0;      // drawn
inline constexpr int DRAW_REFUSED = -2;  // no GL call: the context rule failed, or not loaded

/// Applies the context rule, then draws as `draw_in_context` does. Returns 0 when drawn, -2
/// when the rule fails (no GL call, nothing counted).
///
/// `fbo` is the target (0: default framebuffer) of `width` x `height` pixels; `pending` holds
/// `pending_count` uniform values and `units` `unit_count` bindings (a non-positive count, or a
/// null array, applies nothing); `mode` is the primitive mode; `bound_fbo` is bound again after.
QN_API int draw(std::uint32_t fbo, int width, int height, std::uint32_t program,
                const Pending* pending, int pending_count, const Unit* units, int unit_count,
                std::uint32_t vao, std::uint32_t mode, int count, std::uint32_t bound_fbo);

/// The same draw without the context check: 0 when drawn, -2 when the layer is not loaded.
QN_API int draw_in_context(std::uint32_t fbo, int width, int height, std::uint32_t program,
                           const Pending* pending, int pending_count, const Unit* units,
                           int unit_count, std::uint32_t vao, std::uint32_t mode, int count,
                           std::uint32_t bound_fbo);

}  // namespace qn::gpu
