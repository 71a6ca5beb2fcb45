// tests/support/filter_fixture.h — the GL fixture with shaders/ registered, float textures, and a
// log of the passes drawn, taken by swapping the exported qn::gpu::gl pointers as a host may.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/host.h"
#include "quarn/nodes/filter/ops.h"
#include "quarn/nodes/filter/params.h"
#include "quarn/nodes/filter/scratch.h"
#include "support/gl_fixture.h"

namespace qn_test {

namespace filter = qn::nodes::filter;

inline const std::vector<std::string> FILTER_SHADERS = {
    "blur_v.frag",       "blur_h.frag",     "blur_downrez.frag", "blur_uprez.frag", "sharpen.frag",
    "glow_prep.frag",    "glow_add.frag",   "edgeblur.frag",     "erode_blur.frag", "dilate.frag",
    "filter_erode.frag", "row_prefix.frag", "disc_blur.frag"};

/// An RGBA32F texture with its framebuffer, filled from `px` (RGBA rows from y = 0) if given.
inline filter::Tex make_tex(int w, int h, const std::vector<float>& px = {}) {
  filter::Tex t{0, 0, 0, w, h};
  gl().CreateTextures(GL_TEXTURE_2D, 1, &t.texture);
  gl().TextureStorage2D(t.texture, 1, GL_RGBA32F, w, h);
  if (!px.empty()) gl().TextureSubImage2D(t.texture, 0, 0, 0, w, h, GL_RGBA, GL_FLOAT, px.data());
  gl().CreateFramebuffers(1, &t.framebuffer);
  gl().NamedFramebufferTexture(t.framebuffer, GL_COLOR_ATTACHMENT0, t.texture, 0);
  return t;
}

/// The pixels of `t`, which is deleted.
inline std::vector<float> read_tex(const filter::Tex& t) {
  std::vector<float> out(size_t(t.width) * t.height * 4);
  gl().GetTextureImage(t.texture, 0, GL_RGBA, GL_FLOAT, GLsizei(out.size() * 4), out.data());
  gl().DeleteFramebuffers(1, &t.framebuffer);
  gl().DeleteTextures(1, &t.texture);
  return out;
}

struct DrawRecord {
  std::string frag;  // "" if the program is none of FILTER_SHADERS
  GLuint program = 0, fbo = 0;
  int width = 0, height = 0;
  std::map<int, std::vector<float>> uniforms;         // location -> value in effect
  std::map<GLuint, std::pair<GLuint, GLuint>> units;  // unit -> texture, sampler
  std::vector<float> uniform(const std::string& name) const {
    const auto* info = qn::gpu::uniform_info(program, name.c_str());
    auto it = info ? uniforms.find(info->location) : uniforms.end();
    return it == uniforms.end() ? std::vector<float>{} : it->second;
  }
};

namespace pass_log_detail {
using namespace qn::gpu::gl;
inline struct State {
  std::vector<DrawRecord>* draws = nullptr;
  DrawRecord now;                                              // fbo, size, program, units
  GLuint unit = 0;                                             // the active texture unit
  std::map<GLuint, std::map<int, std::vector<float>>> values;  // program -> location -> value
} g;
inline void record() {
  DrawRecord d = g.now;
  d.uniforms = g.values[d.program];
  for (const auto& f : FILTER_SHADERS)
    if (const auto* p = filter::program_get(f); p && p->program == d.program) d.frag = f;
  g.draws->push_back(d);
}
// clang-format off
#define QN_PASS_LOG_UNIFORM(X, n)                                                              \
  X(ProgramUniform##n##fv, (GLuint p, GLint l, GLsizei c, const GLfloat* v), (p, l, c, v),    \
    g.values[p][l].assign(v, v + n))
#define QN_PASS_LOG_HOOKS(X)                                                                  \
  X(BindFramebuffer, (GLenum t, GLuint f), (t, f), g.now.fbo = f)                              \
  X(Viewport, (GLint x, GLint y, GLsizei w, GLsizei h), (x, y, w, h),                          \
    (g.now.width = w, g.now.height = h))                                                       \
  X(UseProgram, (GLuint p), (p), (g.now.program = p, g.now.units.clear()))                     \
  X(ActiveTexture, (GLenum u), (u), g.unit = u - GL_TEXTURE0)                                  \
  X(BindTexture, (GLenum t, GLuint x), (t, x), g.now.units[g.unit].first = x)                  \
  X(BindSampler, (GLuint u, GLuint s), (u, s), g.now.units[u].second = s)                      \
  QN_PASS_LOG_UNIFORM(X, 1) QN_PASS_LOG_UNIFORM(X, 2) QN_PASS_LOG_UNIFORM(X, 3)                \
  QN_PASS_LOG_UNIFORM(X, 4)                                                                    \
  X(DrawElementsInstancedBaseInstance,                                                         \
    (GLenum m, GLsizei c, GLenum t, const void* i, GLsizei n, GLuint b), (m, c, t, i, n, b),   \
    record())
#define QN_PASS_LOG_WRAP_(name, params, args, effect) \
  inline name##Proc saved_##name = nullptr;           \
  inline void hook_##name params { effect; saved_##name args; }
QN_PASS_LOG_HOOKS(QN_PASS_LOG_WRAP_)
#undef QN_PASS_LOG_WRAP_
// clang-format on
inline void install(bool on) {
#define QN_PASS_LOG_SWAP_(name, params, args, effect) \
  if (on) saved_##name = qn::gpu::gl::name;           \
  qn::gpu::gl::name = on ? &hook_##name : saved_##name;
  QN_PASS_LOG_HOOKS(QN_PASS_LOG_SWAP_)
#undef QN_PASS_LOG_SWAP_
}
}  // namespace pass_log_detail

/// Records the draws made while it lives, starting from forgotten uniform caches so that every
/// value in effect is seen. One at a time, on the GL thread.
struct PassLog {
  PassLog() {
    pass_log_detail::g = {&draws, {}, 0, {}};
    for (const auto& f : FILTER_SHADERS)
      qn::gpu::uniform_forget(filter::program_get(f)->program, -1);
    pass_log_detail::install(true);
  }
  ~PassLog() { pass_log_detail::install(false); }
  std::vector<DrawRecord> draws;
};

/// Registers the shaders (again after programs_clear); empties the pool after each test.
class FilterTest : public GlTest {
 protected:
  void SetUp() override {
    GlTest::SetUp();
    static qn_host::FullScreenTriangle* triangle = nullptr;
    if (HasFatalFailure() || filter::program_get(FILTER_SHADERS[0])) return;
    if (!triangle) triangle = new qn_host::FullScreenTriangle;
    for (const auto& name : FILTER_SHADERS) {
      std::string log;
      ASSERT_NE(qn_host::register_filter_file(QUARN_SHADER_DIR, name, triangle->vao(), &log), 0u)
          << name << ": " << log;
    }
  }
  void TearDown() override { filter::scratch_trim(0); }
};

}  // namespace qn_test
