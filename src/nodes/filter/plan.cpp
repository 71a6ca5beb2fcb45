#include "quarn/nodes/filter/plan.h"

#include <GL/glcorearb.h>

#include <cfloat>
#include <cmath>

#include "nodes/filter/filter_gl.h"
#include "quarn/gpu/draw.h"
#include "quarn/gpu/program_registry.h"
#include "quarn/nodes/filter/scratch.h"

namespace qn::nodes::filter {
namespace {

constexpr int MAX_UNITS = 16;

float narrow(double v) {
  if (v > FLT_MAX) return INFINITY;
  if (v < -FLT_MAX) return -INFINITY;
  return static_cast<float>(v);  // NaN stays NaN
}

Uni make(const char* name, int n, double a, double b, double c, double d) {
  Uni u;
  u.name = name;
  u.n = n;
  const double in[4] = {a, b, c, d};
  for (int i = 0; i < n; ++i) u.v[i] = narrow(in[i]);
  return u;
}

// A pass resolved against the program table and the GPU layer's registry.
struct Resolved {
  std::vector<gpu::Pending> pending;
  std::vector<std::pair<int, int>> bindings;  // texture unit, image index
};

}  // namespace

Uni U(const char* name, double a) { return make(name, 1, a, 0, 0, 0); }
Uni U2(const char* name, double a, double b) { return make(name, 2, a, b, 0, 0); }
Uni U3(const char* name, double a, double b, double c) { return make(name, 3, a, b, c, 0); }
Uni U4(const char* name, double a, double b, double c, double d) {
  return make(name, 4, a, b, c, d);
}

Plan::Plan(const std::vector<Tex>& inputs) {
  images_.reserve(inputs.size());
  for (const Tex& t : inputs) images_.push_back({Input, t.width, t.height, t});
}

int Plan::pass(const char* frag, int src, std::vector<Uni> unis,
               std::vector<std::pair<std::string, int>> textures, int w, int h) {
  const bool src_known = src >= 0 && static_cast<size_t>(src) < images_.size();
  if (w <= 0 && src_known) {
    w = images_[src].width;
    h = images_[src].height;
  }
  images_.push_back({Scratch, w, h, Tex{}});
  Pass p;
  p.frag = frag;
  if (src >= 0) p.textures.emplace_back("u_image", src);
  for (auto& t : textures) p.textures.push_back(std::move(t));
  p.unis = std::move(unis);
  p.out = static_cast<int>(images_.size()) - 1;
  passes_.push_back(std::move(p));
  return passes_.back().out;
}

int Plan::run(int result, const Tex& target, unsigned bound_fbo) {
  const int image_count = static_cast<int>(images_.size());
  auto known = [&](int i) { return i >= 0 && i < image_count; };

  // 1. The result.
  if (!known(result)) return -1;
  if (images_[result].kind == Input) return 0;
  if (images_[result].width != target.width || images_[result].height != target.height) return -1;

  // 2. Resolve every pass before any GL call.
  std::vector<Resolved> resolved(passes_.size());
  for (size_t i = 0; i < passes_.size(); ++i) {
    Pass& p = passes_[i];
    Resolved& r = resolved[i];
    p.prog = program_get(p.frag);
    if (!p.prog || !gpu::program_known(p.prog->program)) return -1;
    if (!known(p.out)) return -1;
    std::uint64_t bytes = 0;
    const Image& o = images_[p.out];
    if (p.out != result && !detail::scratch_bytes(o.width, o.height, &bytes)) return -1;
    for (const Uni& u : p.unis) {
      const gpu::UniformInfo* info = gpu::uniform_info(p.prog->program, u.name);
      if (!info) return -1;
      if (u.n < 1 || u.n > 4 || !gpu::uniform_accepts(*info, u.n)) continue;
      gpu::Pending pending{info->location, u.n, {}};
      for (int c = 0; c < u.n; ++c) pending.values[c] = u.v[c];
      r.pending.push_back(pending);
    }
    for (const auto& [name, image] : p.textures) {
      if (!known(image)) return -1;
      for (const auto& [sampler, unit] : p.prog->samplers)
        if (sampler == name) r.bindings.emplace_back(unit, image);
    }
  }

  // 3. GL readiness.
  if (!detail::gl_ready()) return -2;

  // 4, 5. The result goes to the target; each image's last reader.
  images_[result].kind = Output;
  images_[result].tex = target;
  std::vector<int> last_use(images_.size(), -1);
  for (size_t i = 0; i < resolved.size(); ++i)
    for (const auto& [unit, image] : resolved[i].bindings) last_use[image] = static_cast<int>(i);

  // 6. Draw. A scratch image goes back to the pool after its last reader.
  auto give_back = [](Image& image) {
    if (image.kind != Scratch || !image.tex.texture) return;
    detail::release(image.tex);
    image.tex = Tex{};
  };
  int code = 1;
  std::vector<gpu::Unit> units;
  for (size_t i = 0; i < passes_.size(); ++i) {
    const Pass& p = passes_[i];
    const Resolved& r = resolved[i];
    Image& o = images_[p.out];
    if (o.kind == Scratch) o.tex = detail::acquire(o.width, o.height, bound_fbo);
    units.clear();
    for (const auto& [unit, image] : r.bindings) {
      if (units.size() == MAX_UNITS) break;
      const Tex& t = images_[image].tex;
      units.push_back({static_cast<std::uint32_t>(unit), GL_TEXTURE_2D, t.texture, t.sampler});
    }
    const int drawn =
        gpu::draw(o.tex.framebuffer, o.width, o.height, p.prog->program, r.pending.data(),
                  static_cast<int>(r.pending.size()), units.data(), static_cast<int>(units.size()),
                  p.prog->vao, p.prog->mode, p.prog->count, bound_fbo);
    ++stats().draws;
    if (drawn != 0) {
      code = -2;
      break;
    }
    for (const auto& [unit, image] : r.bindings)
      if (last_use[image] == static_cast<int>(i)) give_back(images_[image]);
  }

  // 7. Everything back to the pool, then the cap.
  for (Image& image : images_) give_back(image);
  detail::evict(detail::cap());
  detail::refresh();
  ++stats().runs;
  return code;
}

}  // namespace qn::nodes::filter
