// quarn_demo — the reference host: renders a shot through every subsystem of quarn_core and
// prints what each frame cost. See `quarn_demo --help`.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pipeline.h"
#include "source.h"

namespace {

constexpr int kWriterThreads = 2;  // as the pipeline's writer runs

const char* const USAGE = R"(usage: quarn_demo [options]
  --input PATTERN   source sequence, printf-style frame number (e.g. shots/a.%04d.exr);
                    default: a test pattern written into OUT/source/
  --frames A-B      output frames, inclusive (default 1-48)
  --size WxH        render size (default 960x540)
  --out DIR         output folder (default out)
  --cache-mb N      result cache memory limit in MiB (default 2048)
  --no-cache        evaluate every node on every frame
  --edit FRAME      after the passes, switch the merge operation and render FRAME again
  --shaders DIR     the shader folder (default: the source tree's shaders/)
)";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "quarn_demo: %s\n%s", what.c_str(), USAGE);
  return 2;
}

int failure(const std::string& what) {
  std::fprintf(stderr, "quarn_demo: %s\n", what.c_str());
  return 1;
}

// A whole decimal number within [lo, hi], or false.
bool parse_int(const std::string& text, long long lo, long long hi, long long* out) {
  if (text.empty() || text.size() > 12) return false;
  size_t used = 0;
  try {
    *out = std::stoll(text, &used);
  } catch (...) {
    return false;
  }
  return used == text.size() && *out >= lo && *out <= hi;
}

bool parse_pair(const std::string& text, char sep, long long lo, long long hi, long long* a,
                long long* b) {
  const size_t at = text.find(sep, 1);
  return at != std::string::npos && parse_int(text.substr(0, at), lo, hi, a) &&
         parse_int(text.substr(at + 1), lo, hi, b);
}

struct Totals {
  int frames = 0;
  double wall_ms = 0, decode = 0, gl = 0, readback = 0, write = 0, write_wait = 0;
  long long peak_bytes = 0;
};

void print_header() {
  std::printf("%-5s %6s %6s %9s %9s %6s %11s %9s %9s %8s %8s %8s\n", "pass", "frame", "source",
              "decode ms", "run/cache", "draws", "uniforms", "scratch", "readback", "write",
              "frame ms", "cache MB");
  std::printf("%-5s %6s %6s %9s %9s %6s %11s %9s %9s %8s %8s %8s\n", "", "", "", "", "", "",
              "sent/skip", "new/reuse", "ms", "ms", "", "");
}

void print_row(const char* pass, const demo::FrameStats& r, Totals* t) {
  char run[32], uni[32], scratch[32];
  std::snprintf(run, sizeof run, "%d/%d", r.ran, r.served);
  std::snprintf(uni, sizeof uni, "%llu/%llu", static_cast<unsigned long long>(r.uploads),
                static_cast<unsigned long long>(r.skips));
  std::snprintf(scratch, sizeof scratch, "%llu/%llu",
                static_cast<unsigned long long>(r.scratch_new),
                static_cast<unsigned long long>(r.scratch_reused));
  std::printf("%-5s %6lld %6lld %9.1f %9s %6llu %11s %9s %9.1f %8.1f %8.1f %8.1f  %s\n", pass,
              r.frame, r.source, r.decode_ms, run, static_cast<unsigned long long>(r.draws), uni,
              scratch, r.readback_ms, r.write_ms, r.frame_ms, r.cache_bytes / 1048576.0,
              r.ran_names.c_str());
  std::fflush(stdout);
  ++t->frames;
  t->decode += r.decode_ms;
  t->gl += r.gl_ms;
  t->readback += r.readback_ms;
  t->write += r.write_ms;
  t->write_wait += r.write_wait_ms;
  t->peak_bytes = std::max(t->peak_bytes, r.cache_bytes);
}

// Shares of the pass's wall time on the render thread; the writers' own time is given as the
// share of their capacity it used.
void print_summary(const char* pass, const Totals& t) {
  const double w = t.wall_ms > 0 ? t.wall_ms : 1;
  const double other = std::max(0.0, w - t.decode - t.gl - t.readback - t.write_wait);
  std::printf(
      "summary %-5s %3d frames in %8.1f ms: %6.2f fps | render thread: decode %4.1f%%  GL "
      "%4.1f%%  readback %4.1f%%  waiting for writers %4.1f%%  other %4.1f%% | writers busy "
      "%4.1f%% | cache peak %.1f MB\n",
      pass, t.frames, t.wall_ms, t.frames * 1000.0 / w, 100 * t.decode / w, 100 * t.gl / w,
      100 * t.readback / w, 100 * t.write_wait / w, 100 * other / w,
      100 * t.write / (w * kWriterThreads), t.peak_bytes / 1048576.0);
}

}  // namespace

int main(int argc, char** argv) {
  demo::Options opt;
#ifdef QUARN_SHADER_DIR
  opt.shaders = QUARN_SHADER_DIR;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (arg == "--no-cache") {
      opt.no_cache = true;
      continue;
    }
    const char* const with_value[] = {"--input", "--frames",   "--size",   "--out",
                                      "--edit",  "--cache-mb", "--shaders"};
    if (std::find(std::begin(with_value), std::end(with_value), arg) == std::end(with_value))
      return usage_error("unknown option '" + arg + "'");
    if (i + 1 >= argc) return usage_error(arg + " needs a value");
    const std::string v = argv[++i];
    long long a = 0, b = 0;
    if (arg == "--input") {
      if (demo::frame_path(v, 1).empty())
        return usage_error("--input needs exactly one frame number conversion (%d or %0Nd): '" + v +
                           "'");
      opt.input = v;
    } else if (arg == "--frames") {
      if (!parse_pair(v, '-', -1000000, 1000000, &a, &b) || a > b || b - a >= 100000)
        return usage_error("--frames wants FIRST-LAST, first <= last, at most 100000 frames: '" +
                           v + "'");
      opt.shot.first = a;
      opt.shot.last = b;
    } else if (arg == "--size") {
      if (!parse_pair(v, 'x', 8, 8192, &a, &b))
        return usage_error("--size wants WxH, each 8 to 8192: '" + v + "'");
      opt.shot.width = static_cast<int>(a);
      opt.shot.height = static_cast<int>(b);
    } else if (arg == "--out") {
      if (v.empty()) return usage_error("--out needs a folder");
      opt.out = v;
    } else if (arg == "--edit") {
      if (!parse_int(v, -1000000, 1000000, &a))
        return usage_error("--edit wants a frame: '" + v + "'");
      opt.edit = a;
    } else if (arg == "--cache-mb") {
      if (!parse_int(v, 0, 1 << 24, &a))
        return usage_error("--cache-mb wants 0 to 16777216: '" + v + "'");
      opt.cache_bytes = a << 20;
    } else {
      opt.shaders = v;
    }
  }
  if (opt.edit != -1 && (opt.edit < opt.shot.first || opt.edit > opt.shot.last))
    return usage_error("--edit frame " + std::to_string(opt.edit) + " is outside the frames");

  // The output folder must take files before anything is rendered.
  std::error_code ec;
  std::filesystem::create_directories(opt.out, ec);
  const std::string probe = opt.out + "/.quarn_demo_probe";
  if (ec || !std::ofstream(probe).good())
    return failure("cannot write to the output folder '" + opt.out + "'" +
                   (ec ? ": " + ec.message() : ""));
  std::filesystem::remove(probe, ec);

  std::string err;
  if (opt.input.empty()) {
    std::filesystem::create_directories(opt.out + "/source", ec);
    opt.input = opt.out + "/source/src.%04d.exr";
    std::printf("writing the source sequence: %s, frames %lld-%lld\n", opt.input.c_str(),
                opt.shot.first, demo::source_last(opt.shot));
    if (!demo::write_source(opt.shot, opt.input, &err)) return failure(err);
  }

  demo::Pipeline pipeline;
  if (!pipeline.open(opt, &err)) return failure(err);
  std::printf("rendering frames %lld-%lld at %dx%d into %s/ (cache %s)\n", opt.shot.first,
              opt.shot.last, opt.shot.width, opt.shot.height, opt.out.c_str(),
              opt.no_cache ? "off" : (std::to_string(opt.cache_bytes >> 20) + " MiB").c_str());
  print_header();

  struct Pass {
    const char* name;
    long long first, last;
  };
  std::vector<Pass> passes = {{"cold", opt.shot.first, opt.shot.last},
                              {"warm", opt.shot.first, opt.shot.last}};
  if (opt.edit != -1) passes.push_back({"edit", opt.edit, opt.edit});
  std::vector<std::pair<const char*, Totals>> totals;
  for (const Pass& pass : passes) {
    if (std::string(pass.name) == "edit") pipeline.edit();
    Totals t;
    const auto t0 = std::chrono::steady_clock::now();
    demo::FrameStats row;
    for (long long f = pass.first; f <= pass.last; ++f) {
      if (!pipeline.render(f, &err)) return failure(err);
      while (pipeline.take_row(&row)) print_row(pass.name, row, &t);
    }
    double drain_ms = 0;
    if (!pipeline.flush(&err, &drain_ms)) return failure(err);
    t.write_wait += drain_ms;
    while (pipeline.take_row(&row)) print_row(pass.name, row, &t);
    pipeline.cancel_prefetch();
    t.wall_ms = demo::ms_since(t0);
    totals.emplace_back(pass.name, t);
    if (std::string(pass.name) == "cold" && !pipeline.write_contact_sheet(&err))
      return failure(err);
  }
  for (const auto& [name, t] : totals) print_summary(name, t);
  std::printf("wrote %s/frame.NNNN.exr and .png, %s/contact_sheet.png\n", opt.out.c_str(),
              opt.out.c_str());
  return 0;
}
