// nodes/filter/filter_gl.h — the scratch pool's own GL entry points and the pool operations a
// plan run uses (internal).
//
// The eight entry points come from one list that yields the pointer types, the variables and
// the loader. They are resolved with the EGL bootstrap's `eglGetProcAddress` whenever the
// readiness check meets a current context other than the one they were last loaded for.
#pragma once

#include <cstdint>

#include "quarn/gpu/gl.h"
#include "quarn/nodes/filter/plan.h"

namespace qn::nodes::filter::detail {

namespace gl = qn::gpu::gl;
using gl::GLenum, gl::GLint, gl::GLsizei, gl::GLuint;

#define QN_FILTER_GL_ENTRY_POINTS(X)                                                   \
  X(GenTextures, void, (GLsizei n, GLuint * textures))                                 \
  X(DeleteTextures, void, (GLsizei n, const GLuint* textures))                         \
  X(TexImage2D, void,                                                                  \
    (GLenum target, GLint level, GLint internalformat, GLsizei width, GLsizei height,  \
     GLint border, GLenum format, GLenum type, const void* pixels))                    \
  X(TexParameteri, void, (GLenum target, GLenum pname, GLint param))                   \
  X(GenFramebuffers, void, (GLsizei n, GLuint * framebuffers))                         \
  X(DeleteFramebuffers, void, (GLsizei n, const GLuint* framebuffers))                 \
  X(FramebufferTexture2D, void,                                                        \
    (GLenum target, GLenum attachment, GLenum textarget, GLuint texture, GLint level)) \
  X(DrawBuffers, void, (GLsizei n, const GLenum* bufs))

#define QN_FILTER_GL_DECLARE_(name, ret, params) \
  using name##Proc = ret(*) params;              \
  extern name##Proc name;
QN_FILTER_GL_ENTRY_POINTS(QN_FILTER_GL_DECLARE_)
#undef QN_FILTER_GL_DECLARE_

/// GL readiness: a current context that is the loaded one, with the eight entry points loaded
/// for it (loading them now if the context is new to the pool).
bool gl_ready();

/// Bytes of a w x h scratch texture; false when w or h is not positive or the product does not
/// fit 64 bits.
bool scratch_bytes(int w, int h, std::uint64_t* bytes);

/// A w x h texture from the pool (exact size, most recent first) or a new one. GL ready.
Tex acquire(int w, int h, unsigned bound_fbo);

/// Gives `t` back to the front of the pool.
void release(const Tex& t);

/// Deletes pooled textures, oldest first, until at most `limit` bytes are pooled. GL ready.
void evict(std::uint64_t limit);

/// `bytes` = held + pooled; `peak` follows it.
void refresh();

/// The scratch cap.
std::uint64_t cap();

}  // namespace qn::nodes::filter::detail
