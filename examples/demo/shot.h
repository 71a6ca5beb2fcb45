// examples/demo/shot.h — the shot the reference host renders: its node graph, the knobs of every
// node at a frame, and the source sequence it writes when it is given none. Shared by the
// renderer (pipeline.cpp) and by the test that checks its pixels against a CPU model.
//
//   Retime ──> Read ──> Transform ──> Blur ──┐ A
//                                            Merge ──> Grade ──> readback, EXR + PNG
//                         Constant ──────────┘ B
//
// Read, Transform, Blur, Constant, Merge and Grade are the graph's nodes in upstream-first order
// (their indices below); the retime is a parameter of Read: it picks the source frame.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "quarn/nodes/color/pack.h"

namespace demo {

enum Node : int { kRead = 0, kTransform, kBlur, kConstant, kMerge, kGrade, kNodeCount };
inline constexpr const char* NODE_NAMES[kNodeCount] = {"read",     "transform", "blur",
                                                       "constant", "merge",     "grade"};
/// Upstream lists in node order; Merge reads A = Blur, B = Constant.
inline const std::vector<std::vector<int>> UPSTREAM = {
    {}, {kRead}, {kTransform}, {}, {kBlur, kConstant}, {kMerge}};

struct Shot {
  long long first = 1, last = 48;  // output frames, inclusive
  int width = 960, height = 540;
  int blur_limit = 12;  // blurs above this size run at reduced resolution
  bool edited = false;  // the merge operation knob after `--edit`
};

/// Every knob of the graph at one output frame.
struct Knobs {
  long long source_frame;  // Retime: the source frame Read loads
  double rotate;           // Transform: degrees about the frame centre
  double scale;
  double blur;           // Blur: gaussian size in pixels
  std::string merge_op;  // Merge: an operation of qn::nodes::merge::OPERATIONS
  double merge_mix;
  std::array<float, 4> background;  // Constant
  std::vector<float> grade;         // Grade: knob values in `grade_spec()` order
  float fade;                       // Grade: the input value its mix comes from
};

/// The source frames output frames first..last read: first .. source_last(shot).
long long source_last(const Shot& shot);
Knobs knobs_at(const Shot& shot, long long frame);
/// The transform chain of `k` for qn::xform::plan: one transform step about the centre.
std::vector<std::vector<double>> transform_steps(const Shot& shot, const Knobs& k);
/// The parameters of qn::nodes::filter::run_op("blur", ...) for `k`.
std::vector<double> blur_params(const Shot& shot, const Knobs& k);
/// The grade node's knobs and uniforms, finished.
const qn::nodes::color::Spec& grade_spec();

/// The embedded source: frame `frame` of a moving, coloured pattern with a soft alpha edge,
/// `width` x `height` RGBA floats, rows top to bottom, premultiplied.
std::vector<float> source_pattern(long long frame, int width, int height);
/// How the embedded source stores a frame: 0 float tiled EXR, 1 half-float scanline EXR,
/// 2 float scanline EXR with the pattern in a second layer "fg" (and a grey "R, G, B, A").
int source_layout(long long frame);

}  // namespace demo
