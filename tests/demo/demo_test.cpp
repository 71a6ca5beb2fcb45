// quarn_demo run as a host runs it: its table shows the cache at work, its frames match a CPU
// model of the same graph, and bad input ends with a message, an exit code and no stray file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "demo/shot.h"
#include "quarn/config.h"
#include "quarn/nodes/filter/params.h"
#include "quarn/xform/plan.h"
#include "support/blas.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace OIIO = QN_OIIO_NAMESPACE;

struct Outcome {
  int code = -1;
  std::string out, err;
};

Outcome run_demo(const qn_test::TempDir& dir, const std::vector<std::string>& args) {
  std::string cmd = QUARN_DEMO;
  for (const std::string& a : args) cmd += " '" + a + "'";
  cmd += " >" + dir.file("stdout") + " 2>" + dir.file("stderr");
  Outcome r;
  const int status = std::system(cmd.c_str());
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  auto slurp = [](const std::string& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  r.out = slurp(dir.file("stdout"));
  r.err = slurp(dir.file("stderr"));
  return r;
}

struct Row {
  std::string pass, names;
  long long frame = 0, source = 0;
  int ran = 0, served = 0;
  unsigned long long draws = 0, uploads = 0, skips = 0, scratch_new = 0, scratch_reused = 0;
  double cache_mb = 0;
};

std::vector<Row> rows_of(const std::string& out) {
  std::vector<Row> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    Row r;
    char pass[16] = {};
    double d[5];
    int used = 0;
    if (std::sscanf(line.c_str(),
                    "%15s %lld %lld %lf %d/%d %llu %llu/%llu %llu/%llu %lf %lf %lf %lf%n", pass,
                    &r.frame, &r.source, &d[0], &r.ran, &r.served, &r.draws, &r.uploads, &r.skips,
                    &r.scratch_new, &r.scratch_reused, &d[1], &d[2], &d[3], &d[4], &used) != 15)
      continue;
    r.pass = pass;
    r.cache_mb = d[4];
    r.names = line.substr(static_cast<size_t>(used));
    r.names.erase(0, r.names.find_first_not_of(' '));
    rows.push_back(r);
  }
  return rows;
}

// --- the CPU model of the graph, in GL's row order (row 0 at the bottom) ---------------------

struct Image {
  int w = 0, h = 0;
  std::vector<double> px;  // RGBA
  double* at(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
  const double* at(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
  const double* clamped(int x, int y) const {
    return at(std::clamp(x, 0, w - 1), std::clamp(y, 0, h - 1));
  }
};

Image blank(int w, int h) { return {w, h, std::vector<double>(static_cast<size_t>(w) * h * 4)}; }

// An image file's RGBA (or its "fg" layer), flipped into GL's row order.
Image read_gl_rows(const std::string& path) {
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << path;
  if (!in) return {};
  const OIIO::ImageSpec& spec = in->spec();
  std::vector<float> all(static_cast<size_t>(spec.image_pixels()) * spec.nchannels);
  EXPECT_TRUE(in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, all.data()));
  const int fg = spec.channelindex("fg.R") >= 0;
  Image img = blank(spec.width, spec.height);
  for (int y = 0; y < spec.height; ++y)
    for (int x = 0; x < spec.width; ++x)
      for (int c = 0; c < 4; ++c) {
        const int ch = spec.channelindex((fg ? std::string("fg.") : "") + "RGBA"[c]);
        img.at(x, spec.height - 1 - y)[c] =
            all[(static_cast<size_t>(y) * spec.width + x) * spec.nchannels + ch];
      }
  return img;
}

Image transform(const Image& src, const demo::Shot& shot, const demo::Knobs& k) {
  qn::xform::PlanIn in;
  in.steps = demo::transform_steps(shot, k);
  in.width = src.w;
  in.height = src.h;
  in.bbox = {0, 0, src.w, src.h};
  in.crop_format = true;
  const qn::xform::Draw d = qn::xform::plan(in).draw;
  EXPECT_EQ(d.kind, qn::xform::DRAW_AFFINE);
  Image out = blank(src.w, src.h);
  auto texel = [&](int x, int y, int c) {
    return x < 0 || y < 0 || x >= src.w || y >= src.h ? 0.0 : src.at(x, y)[c];
  };
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x) {
      const double sx = d.m[0] * (x + 0.5) + d.m[1] * (y + 0.5) + d.m[2] - 0.5;
      const double sy = d.m[3] * (x + 0.5) + d.m[4] * (y + 0.5) + d.m[5] - 0.5;
      const int ix = static_cast<int>(std::floor(sx)), iy = static_cast<int>(std::floor(sy));
      const double fx = sx - ix, fy = sy - iy;
      for (int c = 0; c < 4; ++c)
        out.at(x, y)[c] = (1 - fy) * ((1 - fx) * texel(ix, iy, c) + fx * texel(ix + 1, iy, c)) +
                          fy * ((1 - fx) * texel(ix, iy + 1, c) + fx * texel(ix + 1, iy + 1, c));
    }
  return out;
}

// One pass of the separable gaussian along x (dx = 1) or y, edges clamped.
Image gaussian(const Image& src, double size, bool along_x) {
  const int r = qn::nodes::filter::radius(size, 2);
  if (r == 0) return src;
  const double sigma = size / 2;
  Image out = blank(src.w, src.h);
  for (int y = 0; y < src.h; ++y)
    for (int x = 0; x < src.w; ++x) {
      double sum[4] = {}, total = 0;
      for (int d = -r; d <= r; ++d) {
        const double w = std::exp(-0.5 * d * d / (sigma * sigma));
        const double* p = along_x ? src.clamped(x + d, y) : src.clamped(x, y + d);
        for (int c = 0; c < 4; ++c) sum[c] += w * p[c];
        total += w;
      }
      for (int c = 0; c < 4; ++c) out.at(x, y)[c] = sum[c] / total;
    }
  return out;
}

// The blur over the whole frame: at full resolution up to the limit, else averaged into cells
// of f x f pixels (rows of cells counted down from the top cell row), blurred there and
// interpolated back between cell centres.
Image blur(const Image& src, double size, int limit) {
  const int f = qn::nodes::filter::factor(size, limit);
  if (f == 1) return gaussian(gaussian(src, size, false), size, true);
  const int cw = (src.w + f - 1) / f, ch = (src.h + f - 1) / f;
  Image cells = blank(cw, ch);
  for (int j = 0; j < ch; ++j)
    for (int i = 0; i < cw; ++i) {
      const int cy = ch - 1 - j, x1 = std::min(src.w, i * f + f), y1 = std::min(src.h, cy * f + f);
      for (int y = cy * f; y < y1; ++y)
        for (int x = i * f; x < x1; ++x)
          for (int c = 0; c < 4; ++c)
            cells.at(i, j)[c] += src.at(x, y)[c] / ((x1 - i * f) * (y1 - cy * f));
    }
  cells = gaussian(gaussian(cells, size / f, false), size / f, true);
  Image out = blank(src.w, src.h);
  for (int y = 0; y < src.h; ++y)
    for (int x = 0; x < src.w; ++x) {
      const double tx = (x + 0.5) / f - 0.5, ty = ch - (y + 0.5) / f - 0.5;
      const int ix = static_cast<int>(std::floor(tx)), iy = static_cast<int>(std::floor(ty));
      const double fx = tx - ix, fy = ty - iy;
      for (int c = 0; c < 4; ++c)
        out.at(x, y)[c] =
            (1 - fy) * ((1 - fx) * cells.clamped(ix, iy)[c] + fx * cells.clamped(ix + 1, iy)[c]) +
            fy * ((1 - fx) * cells.clamped(ix, iy + 1)[c] + fx * cells.clamped(ix + 1, iy + 1)[c]);
    }
  return out;
}

// Merge (over or screen) onto the constant, then the grade.
Image merge_and_grade(const Image& a, const demo::Knobs& k) {
  Image out = blank(a.w, a.h);
  const std::vector<float>& g = k.grade;  // black, white, lift, gain, multiply, offset, gamma
  for (size_t p = 0; p < out.px.size() / 4; ++p) {
    const double* A = &a.px[p * 4];
    double* o = &out.px[p * 4];
    for (int c = 0; c < 4; ++c) {
      const double B = k.background[static_cast<size_t>(c)];
      o[c] = k.merge_op == "over" ? A[c] + B * (1 - A[3]) : A[c] + B - A[c] * B;
    }
    for (size_t c = 0; c < 3; ++c) {
      const double gain = g[9 + c] * 1.0, lift = g[6 + c], black = g[c], white = g[3 + c];
      const double s = g[12 + c] * (gain - lift) / (white - black);
      const double v = s * o[c] + g[15 + c] + lift - s * black;
      const double graded = v >= 0 ? std::pow(v, 1 / static_cast<double>(g[18 + c])) : v;
      o[c] = o[c] + (graded - o[c]) * k.fade;
    }
  }
  return out;
}

TEST(DemoTest, CachesAcrossPassesAndEditsAndMatchesTheCpuModel) {
  qn_test::install_openblas64();
  qn_test::TempDir dir;
  demo::Shot shot;
  shot.first = 1;
  shot.last = 9;
  shot.width = 128;
  shot.height = 72;
  const Outcome r = run_demo(
      dir, {"--frames", "1-9", "--size", "128x72", "--out", dir.file("out"), "--edit", "5"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<Row> rows = rows_of(r.out);
  ASSERT_EQ(rows.size(), 19u) << r.out;
  for (size_t i = 0; i < 9; ++i) {
    const Row& cold = rows[i];
    const bool new_source = i == 0 || cold.source != rows[i - 1].source;
    EXPECT_EQ(cold.frame, static_cast<long long>(i + 1));
    // After the first frame the registry skips the uniforms that did not change (the merge's),
    // and the blur finds its scratch textures in the pool.
    EXPECT_EQ(i > 0, cold.skips > 0) << "frame " << cold.frame;
    EXPECT_EQ(i > 0, cold.scratch_reused > 0) << "frame " << cold.frame;
    // The read runs only for a new source frame, the constant only once.
    EXPECT_EQ(cold.names, std::string(new_source ? "read " : "") + "transform blur " +
                              (i == 0 ? "constant " : "") + "merge grade")
        << "frame " << cold.frame;
    const Row& warm = rows[9 + i];
    EXPECT_EQ(warm.pass, "warm");
    EXPECT_EQ(warm.ran, 0) << "frame " << warm.frame;
    EXPECT_EQ(std::tuple(warm.draws, warm.uploads, warm.skips, warm.scratch_new),
              std::tuple(0, 0, 0, 0));
  }
  EXPECT_EQ(rows[18].pass, "edit");
  EXPECT_EQ(rows[18].names, "merge grade");
  EXPECT_EQ(rows[18].served, 2);  // the blur and the constant, which cut off the rest
  EXPECT_NE(r.out.find("summary warm"), std::string::npos);
  // Frames 1 and 9 side by side, each a quarter of the frame, 4 pixels apart and around.
  const auto sheet = OIIO::ImageInput::open(dir.file("out/contact_sheet.png"));
  ASSERT_TRUE(sheet);
  EXPECT_EQ(std::pair(sheet->spec().width, sheet->spec().height), std::pair(2 * 32 + 12, 18 + 8));

  // Pixels: every output frame against the model. GPU float32 arithmetic (bilinear weights,
  // gaussian sums of at most 2 x 55 taps, exp and pow within a few ulps) stays near 1e-5; the
  // EXR keeps halves, whose rounding is at most 2^-11 of the value. The reduced-resolution blur
  // is modelled exactly (same cells, same interpolation), so it adds nothing.
  double worst = 0;
  for (long long f = shot.first; f <= shot.last; ++f) {
    demo::Shot s = shot;
    s.edited = f == 5;
    const demo::Knobs k = demo::knobs_at(s, f);
    char src_name[64], out_name[64];
    std::snprintf(src_name, sizeof src_name, "out/source/src.%04lld.exr", k.source_frame);
    std::snprintf(out_name, sizeof out_name, "out/frame.%04lld.exr", f);
    const Image src = read_gl_rows(dir.file(src_name));
    const Image want = merge_and_grade(blur(transform(src, s, k), k.blur, s.blur_limit), k);
    const Image got = read_gl_rows(dir.file(out_name));
    ASSERT_EQ(got.px.size(), want.px.size());
    for (size_t i = 0; i < want.px.size(); ++i) {
      const double err = std::fabs(got.px[i] - want.px[i]);
      worst = std::max(worst, err);
      ASSERT_LE(err, 1e-4 + std::fabs(want.px[i]) / 2048) << "frame " << f << " value " << i;
    }
  }
  std::printf("largest difference from the model: %.3g\n", worst);
}

TEST(DemoTest, EvictionHoldsTheLimitAndNoCacheRunsEverything) {
  qn_test::TempDir dir;
  // 128 x 72 RGBA floats are 144 KiB a result: 1 MiB holds seven, four frames make nineteen.
  const Outcome limited = run_demo(
      dir, {"--frames", "1-4", "--size", "128x72", "--out", dir.file("a"), "--cache-mb", "1"});
  ASSERT_EQ(limited.code, 0) << limited.err;
  int warm_ran = 0;
  for (const Row& row : rows_of(limited.out)) {
    EXPECT_LE(row.cache_mb, 1.0) << row.pass << " " << row.frame;
    if (row.pass == "warm") warm_ran += row.ran;
  }
  EXPECT_GT(warm_ran, 0);  // evicted results had to be made again
  const Outcome none =
      run_demo(dir, {"--frames", "1-3", "--size", "64x36", "--out", dir.file("b"), "--no-cache"});
  ASSERT_EQ(none.code, 0) << none.err;
  const std::vector<Row> rows = rows_of(none.out);
  ASSERT_EQ(rows.size(), 6u);
  for (const Row& row : rows) {
    EXPECT_EQ(row.ran, demo::kNodeCount) << row.pass << " " << row.frame;
    EXPECT_EQ(row.cache_mb, 0.0);
  }
}

TEST(DemoTest, BadInputEndsWithAMessageAndNoPartialFile) {
  qn_test::TempDir dir;
  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } cases[] = {
      {{"--bogus"}, 2, "unknown option '--bogus'"},
      {{"--frames"}, 2, "--frames needs a value"},
      {{"--frames", "9-1"}, 2, "--frames wants FIRST-LAST"},
      {{"--frames", "1-x"}, 2, "--frames wants FIRST-LAST"},
      {{"--size", "0x5"}, 2, "--size wants WxH"},
      {{"--size", "99999999999999999999x5"}, 2, "--size wants WxH"},
      {{"--cache-mb", "-1"}, 2, "--cache-mb wants"},
      {{"--input", "a.%s.exr"}, 2, "--input needs exactly one frame number conversion"},
      {{"--input", "a.%d.%d.exr"}, 2, "--input needs exactly one frame number conversion"},
      {{"--edit", "99"}, 2, "--edit frame 99 is outside the frames"},
      {{"--out", "/proc/quarn_demo"}, 1, "cannot write to the output folder '/proc/quarn_demo'"},
      {{"--input", dir.file("missing.%04d.exr")}, 1, "cannot read source frame 1"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    if (args[0] != "--out") args.insert(args.begin(), {"--out", dir.file("out")});
    const Outcome r = run_demo(dir, args);
    EXPECT_EQ(r.code, c.code) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(std::string("quarn_demo: ") + c.message), std::string::npos)
        << c.args[0] << ": " << r.err;
  }
  // Damaged source frames: each ends the run at its frame, and no output file is left behind.
  const fs::path damaged = qn_test::openexr_images() / "Damaged";
  for (const char* name :
       {"asan_heap-oob_4cb169_255_cc7ac9cde4b8634b31cb41c8fe89b92d_exr",
        "clusterfuzz-testcase-minimized-openexr_deepscanlines_fuzzer-5642309123964928"}) {
    if (!fs::exists(damaged / name)) continue;
    const qn_test::TempDir seq;
    fs::copy_file(damaged / name, seq.file("d.0001.exr"));
    const Outcome r = run_demo(seq, {"--input", seq.file("d.%04d.exr"), "--frames", "1-2", "--size",
                                     "64x36", "--out", seq.file("out")});
    EXPECT_EQ(r.code, 1) << name << ": " << r.err;
    EXPECT_NE(r.err.find("quarn_demo: cannot read source frame 1"), std::string::npos) << r.err;
    for (const auto& e : fs::directory_iterator(seq.file("out")))
      ADD_FAILURE() << name << " left " << e.path();
  }
}

}  // namespace
