// quarn/nodes/filter/plan.h — a short chain of full-screen fragment passes, recorded without
// touching GL and then drawn into the caller's target.
//
//   Plan plan({source});                                      image 0: the input
//   int v = plan.pass("blur_v.frag", 0, {U("u_size", 9)}, {}, 0, 0);   image 1 (scratch)
//   int h = plan.pass("blur_h.frag", v, {U("u_size", 9)}, {}, 0, 0);   image 2 (scratch)
//   plan.run(h, target, 0);                                   image 2 is drawn into `target`
//
// Images are numbered inputs first, then one per pass in the order passes were added. `run`
// resolves every pass (program, uniforms, samplers) before its first GL call, so a plan that
// cannot run costs no GPU work; it then gives each intermediate image a pooled scratch texture
// (quarn/nodes/filter/scratch.h), releases it once its last reader has drawn, and lets the pass
// that writes the result draw straight into the target.
//
// Owns: its strings and vectors; never a GL object. Threads: the GL thread only.
//
// Results of `run`:
//    1  every pass drawn
//    0  the result is an input: nothing done
//   -1  unusable plan, found before any GL call: `result`, a pass source or a binding that is
//       not an image of the plan; a result size other than the target's; a scratch image whose
//       width or height is not positive or whose w x h x 16 bytes do not fit 64 bits; a shader
//       with no registered program, or a program unknown to the GPU layer; a uniform name the
//       program does not declare
//   -2  GL not usable (no current context, not the loaded one, a filter entry point missing)
//       or a draw failed; after a failed draw the scratch textures still go back to the pool
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "quarn/export.h"

namespace qn::nodes::filter {

struct Prog;

/// A texture the plan reads or writes.
struct Tex {
  unsigned texture = 0;      // GL_TEXTURE_2D name
  unsigned framebuffer = 0;  // framebuffer whose colour attachment 0 is `texture`
  unsigned sampler = 0;      // sampler bound with it (0: none)
  int width = 0;
  int height = 0;
};

/// One uniform value: `n` components (1 to 4), the rest 0. A value with another `n` is skipped
/// by `run` like one the program does not accept; the name must still be declared.
struct Uni {
  std::string name;
  int n = 1;
  float v[4] = {0, 0, 0, 0};
};

/// Uniform values of 1 to 4 components. Doubles are narrowed to float; beyond float's range
/// they become +-infinity, NaN stays NaN.
QN_API Uni U(const char* name, double a);
QN_API Uni U2(const char* name, double a, double b);
QN_API Uni U3(const char* name, double a, double b, double c);
QN_API Uni U4(const char* name, double a, double b, double c, double d);

class QN_API Plan {
 public:
  enum Kind { Input = 0, Scratch = 1, Output = 2 };
  struct Image {
    int kind = Input;
    int width = 0;
    int height = 0;
    Tex tex;
  };
  struct Pass {
    const Prog* prog = nullptr;  // set by `run`
    std::string frag;
    std::vector<std::pair<std::string, int>> textures;  // sampler name, image index
    std::vector<Uni> unis;
    int out = -1;
  };

  /// One `Input` image per texture, in order.
  explicit Plan(const std::vector<Tex>& inputs);

  /// Adds a pass that reads image `src` as "u_image" (none when `src` < 0) plus `textures`, and
  /// writes a new scratch image of `w` x `h`, or of `src`'s size when `w` <= 0 and `src` is an
  /// image of the plan. Returns the new image's index. Indices are checked by `run`.
  int pass(const char* frag, int src, std::vector<Uni> unis,
           std::vector<std::pair<std::string, int>> textures, int w, int h);

  /// Draws every pass so that image `result` ends up in `target`; `bound_fbo` is bound again
  /// after each draw. Returns 1, 0, -1 or -2 (see above).
  int run(int result, const Tex& target, unsigned bound_fbo);

  const std::vector<Image>& images() const { return images_; }
  const std::vector<Pass>& passes() const { return passes_; }

 private:
  std::vector<Image> images_;
  std::vector<Pass> passes_;
};

}  // namespace qn::nodes::filter
