#include "quarn/gpu/draw.h"

#include <GL/glcorearb.h>

#include "gpu/uniform_upload.h"
#include "quarn/gpu/gl.h"

namespace qn::gpu {

int draw(std::uint32_t fbo, int width, int height, std::uint32_t program, const Pending* pending,
         int pending_count, const Unit* units, int unit_count, std::uint32_t vao,
         std::uint32_t mode, int count, std::uint32_t bound_fbo) {
  gl::EglContext current = gl::current_context();
  if (!current || current != gl::loaded_context()) return DRAW_REFUSED;
  return draw_in_context(fbo, width, height, program, pending, pending_count, units, unit_count,
                         vao, mode, count, bound_fbo);
}

int draw_in_context(std::uint32_t fbo, int width, int height, std::uint32_t program,
                    const Pending* pending, int pending_count, const Unit* units, int unit_count,
                    std::uint32_t vao, std::uint32_t mode, int count, std::uint32_t bound_fbo) {
  if (!gl::loaded()) return DRAW_REFUSED;
  gl::BindFramebuffer(GL_FRAMEBUFFER, fbo);
  gl::Viewport(0, 0, width, height);
  gl::Scissor(0, 0, width, height);
  gl::UseProgram(program);
  if (pending) detail::apply_pending(program, pending, pending_count);
  for (int i = 0; units && i < unit_count; ++i) {
    const Unit& u = units[i];
    gl::ActiveTexture(GL_TEXTURE0 + u.unit);
    gl::BindTexture(u.target, u.texture);
    gl::BindSampler(u.unit, u.sampler);
  }
  gl::BindVertexArray(vao);
  gl::DrawElementsInstancedBaseInstance(mode, count, GL_UNSIGNED_INT, nullptr, 1, 0);
  gl::BindVertexArray(0);
  gl::BindFramebuffer(GL_FRAMEBUFFER, bound_fbo);
  ++stats().draws;
  return DRAW_DONE;
}

}  // namespace qn::gpu
