#include "pipeline.h"

#include <OpenImageIO/imageio.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <unordered_map>

#include "host/context.h"
#include "host/host.h"
#include "quarn/config.h"
#include "quarn/gpu/draw.h"
#include "quarn/gpu/gl.h"
#include "quarn/graph/record.h"
#include "quarn/graph/result_cache.h"
#include "quarn/graph/schedule.h"
#include "quarn/graph/walk.h"
#include "quarn/io/decode_scheduler.h"
#include "quarn/io/layer_loader.h"
#include "quarn/nodes/filter/ops.h"
#include "quarn/nodes/filter/scratch.h"
#include "quarn/nodes/merge/operations.h"
#include "quarn/transport/transport.h"
#include "quarn/xform/matrix.h"
#include "quarn/xform/plan.h"
#include "writer.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;
using qn_host::gl;
namespace fs = std::filesystem;
namespace OIIO = QN_OIIO_NAMESPACE;

// A node's parameters as the graph hashes them: one field of kind 1 per value.
class Params {
 public:
  Params& add(const void* bytes, std::size_t n) {
    fields_.push_back(
        {static_cast<std::int32_t>(n / 4), static_cast<std::uint32_t>(words_.size())});
    words_.resize(words_.size() + n / 4);
    std::memcpy(words_.data() + fields_.back().first_word, bytes, n);
    kinds_.push_back(1);
    return *this;
  }
  Params& add(double v) { return add(&v, sizeof v); }
  Params& add(long long v) { return add(&v, sizeof v); }
  Params& add(const std::vector<float>& v) { return add(v.data(), v.size() * sizeof(float)); }
  std::uint64_t hash() const { return qn::graph::Record{fields_, words_, kinds_}.typed_hash(); }

 private:
  std::vector<qn::graph::Record::Field> fields_;
  std::vector<std::uint32_t> words_;
  std::vector<std::uint8_t> kinds_;
};

std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
  h ^= h >> 31;
  return h * 0xBF58476D1CE4E5B9ULL;
}

struct Target {
  GLuint texture = 0, fbo = 0;
};

// The linear algebra the transform planning runs on: ILP64 OpenBLAS.
bool install_blas(std::string* err) {
  qn_host::BlasAddresses a{};
  if (!qn_host::openblas64(&a, err)) return false;
  if (!qn::xform::set_blas(a.gesv, a.gemm, a.gemv, a.dot)) *err = "set_blas refused OpenBLAS";
  return qn::xform::has_blas();
}

}  // namespace

std::string frame_path(const std::string& pattern, long long frame) {
  std::string out;
  int conversions = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    const bool zero = j < pattern.size() && pattern[j] == '0';
    if (zero) ++j;
    int width = 0;
    while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])) &&
           width < 100)
      width = width * 10 + (pattern[j++] - '0');
    if (j >= pattern.size() || pattern[j] != 'd' || width > 18 || ++conversions > 1) return {};
    std::string digits = std::to_string(frame < 0 ? -frame : frame);
    const size_t sign = frame < 0 ? 1 : 0;
    if (digits.size() + sign < static_cast<size_t>(width))
      digits.insert(0, static_cast<size_t>(width) - digits.size() - sign, zero ? '0' : ' ');
    out += (frame < 0 ? "-" : "") + digits;
    i = j;
  }
  return conversions == 1 ? out : std::string();
}

struct Pipeline::Impl {
  Options opt;
  int W = 0, H = 0;
  qn_host::GlContext context;
  std::unique_ptr<qn_host::FullScreenTriangle> triangle;
  GLuint transform_prog = 0, constant_prog = 0, merge_prog = 0, grade_prog = 0;
  std::unique_ptr<qn::io::DecodeScheduler> decoder;
  std::map<long long, long> jobs;  // source frame -> decode job

  qn::graph::Walk walk;
  qn::graph::Schedule schedule;
  qn::graph::ResultCache cache;
  std::unordered_map<long, GLuint> fbo_of;  // result texture -> its framebuffer
  std::vector<qn::graph::CachePopped> popped;
  std::vector<int> dirty;
  Knobs knobs;
  bool first_walk = true;

  // The frame whose readback is in flight, and its pixels.
  struct InFlight {
    FrameStats row;
    std::vector<float> pixels;
    std::uint64_t ticket = 0;
  };
  std::unique_ptr<InFlight> in_flight;
  Writer writer{2};
  std::map<long long, std::vector<float>> thumbs;  // every eighth frame, a quarter of its size

  // `px` (W x H RGBA, W and H at least 8) reduced by 4 per axis: each pixel the mean of a 4 x 4
  // box.
  std::vector<float> quarter(const std::vector<float>& px) const {
    const int tw = W / 4, th = H / 4;
    std::vector<float> out(static_cast<size_t>(tw) * th * 4, 0.0f);
    for (int y = 0; y < th * 4; ++y)
      for (int x = 0; x < tw * 4; ++x)
        for (int c = 0; c < 4; ++c)
          out[(static_cast<size_t>(y / 4) * tw + x / 4) * 4 + c] +=
              px[(static_cast<size_t>(y) * W + x) * 4 + c] / 16;
    return out;
  }

  bool fail(std::string* err, const std::string& what) {
    *err = what;
    return false;
  }

  std::string source_path(long long f) const { return frame_path(opt.input, f); }

  std::uint64_t node_hash(int node, const Knobs& k) const {
    Params p;
    p.add(static_cast<long long>(node));
    switch (node) {
      case kRead:
        p.add(k.source_frame).add(static_cast<long long>(std::hash<std::string>{}(opt.input)));
        break;
      case kTransform:
        p.add(k.rotate).add(k.scale);
        break;
      case kBlur:
        for (double v : blur_params(opt.shot, k)) p.add(v);
        break;
      case kConstant:
        p.add(k.background.data(), sizeof k.background);
        break;
      case kMerge:
        p.add(static_cast<long long>(qn::nodes::merge::merge_op_index(k.merge_op)))
            .add(k.merge_mix);
        break;
      default:
        p.add(k.grade).add(static_cast<double>(k.fade));
    }
    return p.hash();
  }

  long key_of(int node, const Knobs& k, const std::vector<long>& keys) const {
    std::uint64_t h = node_hash(node, k);
    for (int u : UPSTREAM[static_cast<size_t>(node)])
      h = mix(h, static_cast<std::uint64_t>(keys[static_cast<size_t>(u)]));
    return static_cast<long>(h);
  }

  Target new_target() {
    Target t;
    gl().CreateTextures(GL_TEXTURE_2D, 1, &t.texture);
    gl().TextureStorage2D(t.texture, 1, GL_RGBA32F, W, H);
    gl().CreateFramebuffers(1, &t.fbo);
    gl().NamedFramebufferTexture(t.fbo, GL_COLOR_ATTACHMENT0, t.texture, 0);
    fbo_of[t.texture] = t.fbo;
    return t;
  }

  void free_target(long texture) {
    auto it = fbo_of.find(texture);
    if (it == fbo_of.end()) return;
    GLuint tex = static_cast<GLuint>(texture);
    gl().DeleteFramebuffers(1, &it->second);
    gl().DeleteTextures(1, &tex);
    fbo_of.erase(it);
  }

  bool load_program(const char* name, GLuint* program, std::string* err) {
    std::string text, log;
    if (!qn_host::read_text(opt.shaders + "/" + name, &text))
      return fail(err, "cannot read shader " + opt.shaders + "/" + name);
    *program = qn_host::link_program(qn_host::FULL_SCREEN_VERTEX_SHADER, text.c_str(), &log);
    if (!*program) return fail(err, std::string(name) + ": " + log);
    qn_host::declare_uniforms(*program);
    return true;
  }

  qn::gpu::Pending uniform(GLuint program, const char* name, std::initializer_list<float> v) {
    qn::gpu::Pending p{};
    const qn::gpu::UniformInfo* info = qn::gpu::uniform_info(program, name);
    p.location = info ? info->location : -1;
    p.count = static_cast<std::int32_t>(v.size());
    std::copy(v.begin(), v.end(), p.values);
    return p;
  }

  bool draw(const Target& t, GLuint program, const std::vector<qn::gpu::Pending>& u,
            std::initializer_list<GLuint> inputs) {
    std::vector<qn::gpu::Unit> units;
    for (GLuint tex : inputs)
      units.push_back({static_cast<std::uint32_t>(units.size()), GL_TEXTURE_2D, tex, 0});
    return qn::gpu::draw(t.fbo, W, H, program, u.data(), static_cast<int>(u.size()), units.data(),
                         static_cast<int>(units.size()), triangle->vao(), GL_TRIANGLES, 3,
                         0) == qn::gpu::DRAW_DONE;
  }

  // Decoded source pixels, rows top to bottom: the scheduler's own buffer, or one the layer
  // loader filled.
  struct Source {
    std::shared_ptr<qn::io::DecodeResult> decoded;
    std::vector<float> layered;
    const float* pixels = nullptr;
    int w = 0, h = 0;
  };

  // Source pixels of `frame`: the decode scheduler's result, or, for a file that is not plain
  // RGBA, the layer loader with a plan that takes the "fg" layer.
  bool decode(long long frame, Source* src, std::string* err) {
    const std::string path = source_path(frame);
    auto it = jobs.find(frame);
    long id = it != jobs.end() ? it->second : decoder->submit(path, 0);
    if (it != jobs.end()) {
      decoder->reprioritize(id, 0);
      jobs.erase(it);
    }
    std::shared_ptr<qn::io::DecodeResult> r = decoder->take(id, -1);
    if (!r) return fail(err, "decode of " + path + " was dropped");
    if (r->state == qn::io::DECODE_DONE) {
      src->w = r->width;
      src->h = r->height;
      src->pixels = r->pixels.get();
      src->decoded = std::move(r);
      return true;
    }
    if (r->state != qn::io::DECODE_NOT_PLAIN || !r->error.empty())
      return fail(err, "cannot read source frame " + std::to_string(frame) + " (" + path +
                           "): " + (r->error.empty() ? "unreadable image data" : r->error));
    return load_layered(frame, path, src, err);
  }

  bool load_layered(long long frame, const std::string& path, Source* src, std::string* err) {
    auto in = OIIO::ImageInput::open(path);
    if (!in)
      return fail(err, "cannot read source frame " + std::to_string(frame) + " (" + path +
                           "): " + OIIO::geterror());
    const OIIO::ImageSpec spec = in->spec();
    in->close();
    int at[4] = {-1, -1, -1, -1};
    for (const char* layer : {"fg.", ""}) {
      for (int c = 0; c < spec.nchannels; ++c)
        for (int k = 0; k < 4; ++k)
          if (spec.channelnames[static_cast<size_t>(c)] == std::string(layer) + "RGBA"[k])
            at[k] = c;
      if (*std::min_element(at, at + 4) >= 0) break;
      std::fill(at, at + 4, -1);
    }
    if (*std::min_element(at, at + 4) < 0)
      return fail(err, "cannot read source frame " + std::to_string(frame) + " (" + path +
                           "): neither an fg layer nor R, G, B, A");
    const int lo = *std::min_element(at, at + 4), hi = *std::max_element(at, at + 4) + 1;
    src->w = spec.full_width > 0 ? spec.full_width : spec.width;
    src->h = spec.full_height > 0 ? spec.full_height : spec.height;
    if (src->w != W || src->h != H) return true;  // the caller reports the size
    src->layered.assign(static_cast<size_t>(W) * H * 4, 0.0f);
    src->pixels = src->layered.data();
    const std::vector<qn::io::Read> reads = {
        {0, lo, hi, spec.x - spec.full_x, spec.y - spec.full_y, spec.width, spec.height}};
    std::array<qn::io::Slot, 4> slots;
    for (int k = 0; k < 4; ++k) slots[static_cast<size_t>(k)] = {0, at[k] - lo, 0.0f};
    if (!qn::io::load_layers(path, reads, {slots}, W, H, 2, {src->layered.data()}, *err))
      return fail(err,
                  "cannot read source frame " + std::to_string(frame) + " (" + path + "): " + *err);
    return true;
  }

  void prefetch(long long frame) {
    const long long ahead = 4;
    for (long long f = frame + 1; f <= std::min(frame + ahead, opt.shot.last); ++f) {
      const Knobs k = knobs_at(opt.shot, f);
      if (k.source_frame == knobs.source_frame || jobs.count(k.source_frame)) continue;
      if (cache.index.find(key_of(kRead, k, {}))) continue;  // already decoded and cached
      jobs[k.source_frame] =
          decoder->submit(source_path(k.source_frame), static_cast<int>(f - frame));
    }
  }

  bool run_node(int node, const std::vector<long>& in, const Target& t, FrameStats* row,
                std::string* err) {
    const Knobs& k = knobs;
    switch (node) {
      case kRead: {
        Source src;
        const auto t0 = Clock::now();
        if (!decode(k.source_frame, &src, err)) return false;
        row->decode_ms += ms_since(t0);
        if (src.w != W || src.h != H)
          return fail(err, "source frame " + std::to_string(k.source_frame) + " is " +
                               std::to_string(src.w) + "x" + std::to_string(src.h) +
                               ", the render size is " + std::to_string(W) + "x" +
                               std::to_string(H));
        // Rows top to bottom in the file, bottom to top in GL.
        const size_t row_floats = static_cast<size_t>(W) * 4;
        for (int y = 0; y < H; ++y)
          gl().TextureSubImage2D(t.texture, 0, 0, H - 1 - y, W, 1, GL_RGBA, GL_FLOAT,
                                 src.pixels + row_floats * static_cast<size_t>(y));
        return true;
      }
      case kTransform: {
        qn::xform::PlanIn pin;
        pin.steps = transform_steps(opt.shot, k);
        pin.width = W;
        pin.height = H;
        pin.bbox = {0, 0, W, H};
        pin.crop_format = true;  // the result covers exactly the format
        const qn::xform::PlanOut plan = qn::xform::plan(pin);
        std::array<double, 9> m{1, 0, 0, 0, 1, 0, 0, 0, 1};
        if (plan.draw.kind == qn::xform::DRAW_AFFINE)
          m = {plan.draw.m[0],
               plan.draw.m[1],
               plan.draw.m[2],
               plan.draw.m[3],
               plan.draw.m[4],
               plan.draw.m[5],
               0,
               0,
               1};
        if (plan.draw.kind == qn::xform::DRAW_PROJECTIVE) m = plan.draw.m;
        if (plan.draw.kind == qn::xform::DRAW_NOTHING) {
          const float clear[4] = {0, 0, 0, 0};
          gl().ClearNamedFramebufferfv(t.fbo, GL_COLOR, 0, clear);
          return true;
        }
        // GLSL matrices are column-major.
        std::initializer_list<float> cols = {float(m[0]), float(m[3]), float(m[6]),
                                             float(m[1]), float(m[4]), float(m[7]),
                                             float(m[2]), float(m[5]), float(m[8])};
        return draw(t, transform_prog, {uniform(transform_prog, "u_map", cols)}, {GLuint(in[0])}) ||
               fail(err, "transform draw refused");
      }
      case kBlur: {
        const GLuint src = static_cast<GLuint>(in[0]);
        const int r =
            qn::nodes::filter::run_op("blur", {{src, fbo_of[in[0]], 0, W, H}},
                                      blur_params(opt.shot, k), {t.texture, t.fbo, 0, W, H}, 0);
        if (r == 0)  // nothing to blur: the result is the input
          return draw(t, transform_prog,
                      {uniform(transform_prog, "u_map", {1, 0, 0, 0, 1, 0, 0, 0, 1})}, {src}) ||
                 fail(err, "copy draw refused");
        return r == 1 || fail(err, "blur failed with code " + std::to_string(r));
      }
      case kConstant: {
        const auto& c = k.background;
        return draw(t, constant_prog, {uniform(constant_prog, "u_color", {c[0], c[1], c[2], c[3]})},
                    {}) ||
               fail(err, "constant draw refused");
      }
      case kMerge: {
        const qn::nodes::merge::MergeSetup s = qn::nodes::merge::merge_setup(
            k.merge_op, "rgba", "rgba", "", "", k.merge_mix, true, false);
        const auto& m = s.output.mask;
        std::vector<qn::gpu::Pending> u = {
            uniform(merge_prog, "u_op", {s.op}),
            uniform(merge_prog, "u_alpha_masking", {s.alpha_masking}),
            uniform(merge_prog, "u_mix", {static_cast<float>(s.mix)}),
            uniform(merge_prog, "u_mask", {m[0], m[1], m[2], m[3]})};
        return draw(t, merge_prog, u, {GLuint(in[0]), GLuint(in[1])}) ||
               fail(err, "merge draw refused");
      }
      default: {
        const qn::nodes::color::Spec& spec = grade_spec();
        std::vector<qn::nodes::color::Packed> packed(spec.uniforms.size(),
                                                     qn::nodes::color::Packed{});
        qn::nodes::color::pack(spec, k.grade.data(), &k.fade, packed.data());
        // Packed has Pending's layout: only the position must become the uniform's location.
        std::vector<qn::gpu::Pending> list(packed.size());
        for (size_t i = 0; i < packed.size(); ++i) {
          std::memcpy(&list[i], &packed[i], sizeof list[i]);
          const qn::gpu::UniformInfo* info = qn::gpu::uniform_info(
              grade_prog, spec.uniforms[static_cast<size_t>(packed[i].index)].name);
          list[i].location = info ? info->location : -1;
        }
        qn::gpu::uniform_set_many(grade_prog, list.data(), static_cast<int>(list.size()));
        return draw(t, grade_prog, {}, {GLuint(in[0])}) || fail(err, "grade draw refused");
      }
    }
  }

  // Waits for the frame in flight and hands its pixels to the writers.
  bool finish_in_flight(std::string* err, Clock::time_point t0) {
    if (!in_flight) return writer.ok(err);
    InFlight& f = *in_flight;
    qn::transport::wait(f.ticket);
    f.row.readback_ms += ms_since(t0);
    f.row.frame_ms += f.row.readback_ms;
    if ((f.row.frame - opt.shot.first) % 8 == 0) {
      thumbs[f.row.frame] = quarter(f.pixels);
    }
    const std::string base =
        (fs::path(opt.out) / ("frame." + frame_path("%04d", f.row.frame))).string();
    writer.submit(f.row, std::make_shared<const std::vector<float>>(std::move(f.pixels)), base, W,
                  H);
    in_flight.reset();
    return writer.ok(err);
  }
};

Pipeline::Pipeline() : impl_(std::make_unique<Impl>()) {}

Pipeline::~Pipeline() {
  if (!impl_->triangle) return;  // no context was made current
  if (impl_->in_flight) qn::transport::wait(impl_->in_flight->ticket);
  impl_->decoder.reset();
  qn::transport::close();
  qn::nodes::filter::scratch_trim(0);
  for (long slot : impl_->cache.slots()) impl_->free_target(slot);
}

bool Pipeline::open(const Options& options, std::string* err) {
  Impl& s = *impl_;
  s.opt = options;
  s.W = options.shot.width;
  s.H = options.shot.height;
  if (!s.context.error().empty()) return s.fail(err, s.context.error());
  if (!s.context.make_current()) return s.fail(err, "cannot make the OpenGL context current");
  if (!qn::gpu::gl::load(err) || !install_blas(err)) return false;
  s.triangle = std::make_unique<qn_host::FullScreenTriangle>();
  for (const std::string& frag : qn::nodes::filter::op_frags("blur")) {
    std::string log;
    if (!qn_host::register_filter_file(options.shaders, frag, s.triangle->vao(), &log))
      return s.fail(err, frag + ": " + log);
  }
  if (!s.load_program("transform.frag", &s.transform_prog, err) ||
      !s.load_program("constant.frag", &s.constant_prog, err) ||
      !s.load_program("merge.frag", &s.merge_prog, err) ||
      !s.load_program("grade.frag", &s.grade_prog, err) || !qn::transport::init(err))
    return false;
  s.decoder = std::make_unique<qn::io::DecodeScheduler>(1, 1, 2);
  s.walk.build(UPSTREAM, std::vector<unsigned char>(kNodeCount, 0),
               std::vector<long>(kNodeCount, 0));
  s.schedule.build(UPSTREAM, std::vector<unsigned char>(kNodeCount, 0));
  return true;
}

void Pipeline::edit() {
  impl_->opt.shot.edited = !impl_->opt.shot.edited;
  impl_->dirty.push_back(kMerge);
}

bool Pipeline::render(long long frame, std::string* err) {
  Impl& s = *impl_;
  const auto t0 = Clock::now();
  auto row = std::make_unique<Impl::InFlight>();
  FrameStats& st = row->row;
  st.frame = frame;
  s.knobs = knobs_at(s.opt.shot, frame);
  st.source = s.knobs.source_frame;

  // Keys: the frame-dependent nodes are dirty; the walk carries real changes downstream.
  s.dirty.insert(s.dirty.end(), {kRead, kTransform, kBlur, kGrade});
  s.walk.walk(s.dirty, s.first_walk, [&](int i, bool) -> std::optional<long> {
    const long key = s.key_of(i, s.knobs, s.walk.keys);
    if (!s.first_walk && key == s.walk.keys[static_cast<size_t>(i)]) return std::nullopt;
    return key;
  });
  s.first_walk = false;
  s.dirty.clear();

  const qn::gpu::DrawStats g0 = qn::gpu::stats();
  const qn::nodes::filter::FilterStats f0 = qn::nodes::filter::stats();
  s.cache.touching = true;
  const qn::graph::RunPlan plan = s.schedule.run(s.walk.keys, s.cache, true);
  std::vector<long> result(kNodeCount, -1);
  for (int i : plan.order) {
    const size_t n = static_cast<size_t>(i);
    if (!plan.run[n]) {
      result[n] = plan.slots[n];
      ++st.served;
      continue;
    }
    std::vector<long> in;
    for (int u : UPSTREAM[n]) in.push_back(result[static_cast<size_t>(u)]);
    const Target t = s.new_target();
    if (!s.run_node(i, in, t, &st, err)) {
      s.free_target(t.texture);
      s.cache.end_touch({});
      return false;
    }
    const std::pair<long, long> ref{t.texture, static_cast<long>(s.W) * s.H * 16};
    s.cache.put(s.walk.keys[n], t.texture, &ref, 1, false, 0, true);
    result[n] = t.texture;
    ++st.ran;
    st.ran_names += (st.ran_names.empty() ? "" : " ") + std::string(NODE_NAMES[n]);
  }
  s.cache.end_touch({});
  s.prefetch(frame);
  gl().Finish();  // so that the table can tell GL time from readback time
  const qn::gpu::DrawStats& g1 = qn::gpu::stats();
  const qn::nodes::filter::FilterStats& f1 = qn::nodes::filter::stats();
  st.draws = g1.draws - g0.draws;
  st.uploads = g1.uniform_uploads - g0.uniform_uploads;
  st.skips = g1.uniform_skips - g0.uniform_skips;
  st.scratch_new = f1.created - f0.created;
  st.scratch_reused = f1.reused - f0.reused;
  st.gl_ms = ms_since(t0) - st.decode_ms;

  // Read the grade's result back; the previous frame is written meanwhile.
  const long target = result[kGrade];
  row->pixels.resize(static_cast<size_t>(s.W) * s.H * 4);
  const auto t1 = Clock::now();
  row->ticket = qn::transport::start(s.fbo_of[target], 0, 0, 0, s.W, s.H, 4, row->pixels.data(),
                                     nullptr, 0, {});
  if (row->ticket == 0) return s.fail(err, "readback could not start");
  st.readback_ms = ms_since(t1);

  // Hold the memory limit; the grade's texture stays readable until its transfer is queued.
  const long limit = s.opt.no_cache ? 0 : static_cast<long>(s.opt.cache_bytes);
  s.cache.evict(std::max(0L, limit - s.cache.totals[1]), s.opt.no_cache ? 0 : limit, s.popped);
  for (const qn::graph::CachePopped& p : s.popped) s.free_target(p.slot);
  st.cache_bytes = s.cache.totals[0] + s.cache.totals[1];
  st.frame_ms = ms_since(t0);

  const bool ok = s.finish_in_flight(err, Clock::now());  // the previous frame
  s.in_flight = std::move(row);
  return ok;
}

bool Pipeline::flush(std::string* err, double* drain_ms) {
  if (!impl_->finish_in_flight(err, Clock::now())) return false;
  const auto t0 = Clock::now();
  const bool ok = impl_->writer.drain(err);
  *drain_ms = ms_since(t0);
  return ok;
}

bool Pipeline::take_row(FrameStats* row) { return impl_->writer.take(row); }

void Pipeline::cancel_prefetch() {
  impl_->decoder->clear();
  impl_->jobs.clear();
}

bool Pipeline::write_contact_sheet(std::string* err) {
  Impl& s = *impl_;
  if (s.thumbs.empty()) return true;
  const int n = static_cast<int>(s.thumbs.size());
  const int cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
  const int rows = (n + cols - 1) / cols, gap = 4, tw = s.W / 4, th = s.H / 4;
  const int sw = cols * tw + (cols + 1) * gap, sh = rows * th + (rows + 1) * gap;
  std::vector<float> sheet(static_cast<size_t>(sw) * sh * 4, 0.0f);
  for (size_t i = 3; i < sheet.size(); i += 4) sheet[i] = 1;
  int t = 0;
  for (const auto& [frame, thumb] : s.thumbs) {
    // Sheet rows are bottom to top like the frames; the first thumbnail goes top left.
    const int ox = gap + (t % cols) * (tw + gap), oy = sh - (t / cols + 1) * (th + gap);
    for (int y = 0; y < th; ++y)
      std::copy_n(&thumb[static_cast<size_t>(y) * tw * 4], static_cast<size_t>(tw) * 4,
                  &sheet[(static_cast<size_t>(oy + y) * sw + ox) * 4]);
    ++t;
  }
  return write_image((fs::path(s.opt.out) / "contact_sheet.png").string(), sheet.data(), sw, sh,
                     err);
}

}  // namespace demo
