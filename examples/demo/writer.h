// examples/demo/writer.h — output files written on background threads, so that the GL thread
// renders the next frame while a finished one is encoded. Each frame becomes an EXR (half
// floats) and a PNG (sRGB, 8 bits), each through a temporary name so that a failed write
// leaves no partial file.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipeline.h"

namespace demo {

/// Writes `rgba` (rows bottom to top, as GL reads them) to `path`; the format follows the
/// extension (".png": 8-bit sRGB, else half floats). False with the reason in `*err`.
bool write_image(const std::string& path, const float* rgba, int w, int h, std::string* err);

class Writer {
 public:
  explicit Writer(int threads);
  ~Writer();  // finishes what is queued
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  /// Queues `base`.exr and `base`.png of a finished frame; blocks while `kMaxFrames` frames are
  /// not yet written, and notes how long in the row's `write_wait_ms`. Returns that time.
  double submit(const FrameStats& row, std::shared_ptr<const std::vector<float>> pixels,
                const std::string& base, int w, int h);
  /// The next row whose files are written, in submission order.
  bool take(FrameStats* row);
  /// Blocks until every queued file is written. False with the first failure in `*err`.
  bool drain(std::string* err);
  /// False with the first failure so far in `*err`.
  bool ok(std::string* err);

  static constexpr int kMaxFrames = 3;

 private:
  struct Frame {
    FrameStats row;
    std::chrono::steady_clock::time_point queued;
    int remaining = 2;
  };
  struct Job {
    std::shared_ptr<Frame> frame;
    std::shared_ptr<const std::vector<float>> pixels;
    std::string path;
    int w, h;
  };
  void work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::deque<std::shared_ptr<Frame>> frames_;  // submitted, not yet taken
  std::string error_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace demo
