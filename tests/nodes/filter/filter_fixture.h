// tests/nodes/filter/filter_fixture.h — the GL fixture with shaders/ registered, float textures,
// and a log of the passes drawn (support/gl_api.h).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/host.h"
#include "quarn/gpu/program_registry.h"
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

/// Records the draws made while it lives, starting from forgotten uniform caches so that every
/// value in effect is seen; `calls` has every call. One at a time, on the GL thread.
struct PassLog : GlHooks {
  PassLog() {
    for (const auto& f : FILTER_SHADERS)
      qn::gpu::uniform_forget(filter::program_get(f)->program, -1);
  }
  void BindFramebuffer(GLenum, GLuint f) override { now.fbo = f; }
  void Viewport(GLint, GLint, GLsizei w, GLsizei h) override { now.width = w, now.height = h; }
  void UseProgram(GLuint p) override { now.program = p, now.units.clear(); }
  void ActiveTexture(GLenum u) override { unit = u - GL_TEXTURE0; }
  void BindTexture(GLenum, GLuint t) override { now.units[unit].first = t; }
  void BindSampler(GLuint u, GLuint s) override { now.units[u].second = s; }
#define QN_PASS_LOG_UNIFORM_(n)                                                       \
  void ProgramUniform##n##fv(GLuint p, GLint l, GLsizei, const GLfloat* v) override { \
    values[p][l].assign(v, v + n);                                                    \
  }
  QN_PASS_LOG_UNIFORM_(1);
  QN_PASS_LOG_UNIFORM_(2);
  QN_PASS_LOG_UNIFORM_(3);
  QN_PASS_LOG_UNIFORM_(4);
#undef QN_PASS_LOG_UNIFORM_
  void DrawElementsInstancedBaseInstance(GLenum, GLsizei, GLenum, const void*, GLsizei,
                                         GLuint) override {
    DrawRecord& d = draws.emplace_back(now);
    d.uniforms = values[d.program];
    for (const auto& f : FILTER_SHADERS)
      if (const auto* p = filter::program_get(f); p && p->program == d.program) d.frag = f;
  }

  std::vector<DrawRecord> draws;
  DrawRecord now;                                              // fbo, size, program, units
  GLuint unit = 0;                                             // the active texture unit
  std::map<GLuint, std::map<int, std::vector<float>>> values;  // program -> location -> value
  GlCallLog calls{this};
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
