// examples/demo/pipeline.h — the reference host's renderer: one GL context, the shot's graph,
// and everything a frame request goes through on its way from source files to output files.
//
// Per frame: the walk brings the node keys up to date, the schedule decides against the result
// cache which nodes run, the nodes that run draw into fresh result textures (which the cache then
// holds), the grade's result is read back asynchronously, and the previous frame's pixels are
// written while the transfer runs. Everything runs on the calling thread except the decode
// workers and the transport's completion and copy threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "shot.h"

namespace demo {

struct Options {
  Shot shot;
  std::string input;  // printf-style source pattern; empty: the embedded source
  std::string out = "out";
  std::string shaders;
  long long cache_bytes = 2LL << 30;
  bool no_cache = false;
  long long edit = -1;  // the frame `--edit` re-renders; -1: none
};

/// One finished frame, as the table prints it.
struct FrameStats {
  long long frame = 0, source = 0;
  int ran = 0, served = 0;  // nodes evaluated / taken from the cache
  std::string ran_names;    // the nodes evaluated, by name
  std::uint64_t draws = 0, uploads = 0, skips = 0, scratch_new = 0, scratch_reused = 0;
  double decode_ms = 0, gl_ms = 0, readback_ms = 0, frame_ms = 0;
  double write_ms = 0;        // both files, on the writer threads
  double write_wait_ms = 0;   // the render thread blocked because the writers were behind
  long long cache_bytes = 0;  // held by the result cache after eviction
};

class Pipeline {
 public:
  Pipeline();
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  /// Context, GL entry points, linear algebra, shader programs, transport and decode workers.
  bool open(const Options& options, std::string* err);
  /// Renders `frame`. Its row becomes ready once its files are written, which happens during the
  /// next call or in `flush`; `done` receives each row as it completes.
  bool render(long long frame, std::string* err);
  /// Reads back the frame still in flight and waits until every file is written; `*drain_ms`
  /// is the time spent waiting for the writers.
  bool flush(std::string* err, double* drain_ms);
  /// Switches the merge operation knob (the `--edit`) and marks the merge node dirty.
  void edit();
  /// Rows completed since the last call.
  bool take_row(FrameStats* row);
  /// Writes the contact sheet of the frames kept so far.
  bool write_contact_sheet(std::string* err);
  /// Drops decodes queued ahead (end of a pass).
  void cancel_prefetch();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Milliseconds on the steady clock since `t`.
inline double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

/// `pattern` with its one integer conversion (%d or %0Nd) replaced by `frame`; "%%" is a percent
/// sign. Empty when the pattern has no conversion, more than one, or any other.
std::string frame_path(const std::string& pattern, long long frame);

}  // namespace demo
