// quarn/gpu/gl.h — the OpenGL entry points of the GPU layer, loaded at run time for the host's
// EGL context.
//
// The library links neither EGL nor GL. It finds "libEGL.so.1" with the dynamic loader (the
// instance the host already mapped, if any), takes `eglGetProcAddress` and
// `eglGetCurrentContext` from it, and fills the sixteen pointer variables below through
// `eglGetProcAddress` when the host calls `load` with its context current. The variables are
// part of the interface: the host may call through them, and may replace them (for instance
// with forwarding wrappers that count calls) as long as it stores callable pointers.
//
// Owns: the sixteen pointers, the `loaded` flag and the loaded context. Never creates, makes
// current or destroys a context, and never closes the EGL library.
//
// Threads: all GL work runs on the host's GL thread, the one whose current context was
// loaded; `load` must not run concurrently with any other GPU-layer call. `current_context`
// may be called from any thread; its one-time lookup of the EGL library is locked, after
// which it is a single call to `eglGetCurrentContext`.
//
// The context rule: an operation that issues GL calls by its own decision proceeds only when
// `current_context()` is not null and equals `loaded_context()`. When the host moves GPU work
// to another context it calls `load` again there; until then guarded operations refuse to run.
//
// Failures: `load` returns false and, when `err` is not null, replaces `*err` with one of
//   "libEGL.so.1 / eglGetProcAddress not available"     (state unchanged)
//   "no current EGL context on this thread"             (state unchanged)
//   "OpenGL entry point glXxx not available"            (the last missing entry point in table
//                                                        order; the layer is left not loaded)
// Success leaves `*err` untouched. `current_context` reports every failure as null.
#pragma once

#include <cstdint>
#include <string>

#include "quarn/export.h"

namespace qn::gpu::gl {

// GL's scalar types with the sizes the OpenGL headers give them on this platform.
using GLenum = std::uint32_t;
using GLuint = std::uint32_t;
using GLint = std::int32_t;
using GLsizei = std::int32_t;
using GLfloat = float;
using GLboolean = std::uint8_t;

// An EGL context handle (EGLContext), opaque to the library.
using EglContext = void*;

// The one list of entry points, in resolution order:
//   X(variable, return type, (parameters), (arguments))
// The variable is named after the GL function without its "gl" prefix. The list yields the
// pointer types and variables below, the loader and its messages, and lets a host generate
// forwarding wrappers for all of them.
#define QN_GPU_GL_ENTRY_POINTS(X)                                                               \
  X(BindFramebuffer, void, (GLenum target, GLuint framebuffer), (target, framebuffer))          \
  X(Viewport, void, (GLint x, GLint y, GLsizei width, GLsizei height), (x, y, width, height))   \
  X(Scissor, void, (GLint x, GLint y, GLsizei width, GLsizei height), (x, y, width, height))    \
  X(UseProgram, void, (GLuint program), (program))                                              \
  X(ActiveTexture, void, (GLenum texture), (texture))                                           \
  X(BindTexture, void, (GLenum target, GLuint texture), (target, texture))                      \
  X(BindSampler, void, (GLuint unit, GLuint sampler), (unit, sampler))                          \
  X(BindVertexArray, void, (GLuint array), (array))                                             \
  X(DrawElementsInstancedBaseInstance, void,                                                    \
    (GLenum mode, GLsizei count, GLenum type, const void* indices, GLsizei instancecount,       \
     GLuint baseinstance),                                                                      \
    (mode, count, type, indices, instancecount, baseinstance))                                  \
  X(ProgramUniform1fv, void,                                                                    \
    (GLuint program, GLint location, GLsizei count, const GLfloat* value),                      \
    (program, location, count, value))                                                          \
  X(ProgramUniform2fv, void,                                                                    \
    (GLuint program, GLint location, GLsizei count, const GLfloat* value),                      \
    (program, location, count, value))                                                          \
  X(ProgramUniform3fv, void,                                                                    \
    (GLuint program, GLint location, GLsizei count, const GLfloat* value),                      \
    (program, location, count, value))                                                          \
  X(ProgramUniform4fv, void,                                                                    \
    (GLuint program, GLint location, GLsizei count, const GLfloat* value),                      \
    (program, location, count, value))                                                          \
  X(ProgramUniformMatrix3fv, void,                                                              \
    (GLuint program, GLint location, GLsizei count, GLboolean transpose, const GLfloat* value), \
    (program, location, count, transpose, value))                                               \
  X(ProgramUniformMatrix4fv, void,                                                              \
    (GLuint program, GLint location, GLsizei count, GLboolean transpose, const GLfloat* value), \
    (program, location, count, transpose, value))                                               \
  X(GetError, GLenum, (), ())

// `BindFramebufferProc` is the pointer type of `BindFramebuffer`, and so on. Every variable is
// null until a `load` looked it up. `GetError` is there for the host; the layer never calls it.
#define QN_GPU_GL_DECLARE_(name, ret, params, args) \
  using name##Proc = ret(*) params;                 \
  QN_API extern name##Proc name;
QN_GPU_GL_ENTRY_POINTS(QN_GPU_GL_DECLARE_)
#undef QN_GPU_GL_DECLARE_

/// Resolves the whole table for the context current on the calling thread, every time it is
/// called. True when every entry point was found; the layer is then loaded for that context.
[[nodiscard]] QN_API bool load(std::string* err);

/// The context current on the calling thread, or null (none current, or no usable EGL).
QN_API EglContext current_context();

/// The context of the last fully successful `load`, or null.
QN_API EglContext loaded_context();

/// Whether the last `load` that got as far as resolving entry points found all of them.
QN_API bool loaded();

}  // namespace qn::gpu::gl
