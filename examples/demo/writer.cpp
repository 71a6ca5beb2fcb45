#include "writer.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "quarn/config.h"

namespace demo {
namespace {

namespace fs = std::filesystem;
namespace OIIO = QN_OIIO_NAMESPACE;
using Clock = std::chrono::steady_clock;

}  // namespace

bool write_image(const std::string& path, const float* rgba, int w, int h, std::string* err) {
  const fs::path final_path(path);
  const bool png = final_path.extension() == ".png";
  const fs::path tmp = final_path.parent_path() / ("." + final_path.stem().string() + ".part" +
                                                   final_path.extension().string());
  std::vector<unsigned char> bytes;
  const void* data = rgba;
  OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT;
  if (png) {  // display-referred: the sRGB curve on colour, then 8 bits
    bytes.resize(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < bytes.size(); ++i) {
      double v = std::clamp(static_cast<double>(rgba[i]), 0.0, 1.0);
      if (i % 4 != 3) v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
      bytes[i] = static_cast<unsigned char>(std::lround(v * 255));
    }
    data = bytes.data();
    type = OIIO::TypeDesc::UINT8;
  }
  OIIO::ImageSpec spec(w, h, 4, png ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::HALF);
  if (png) spec.attribute("png:compressionLevel", 3);
  const OIIO::stride_t px = static_cast<OIIO::stride_t>(type.size()) * 4, row = px * w;
  const char* last_row = static_cast<const char*>(data) + row * (h - 1);
  auto out = OIIO::ImageOutput::create(tmp.string());
  bool ok = out && out->open(tmp.string(), spec) && out->write_image(type, last_row, px, -row) &&
            out->close();
  std::error_code ec;
  if (ok) fs::rename(tmp, final_path, ec);
  if (!ok || ec) {
    *err = "cannot write " + path + ": " +
           (ec    ? ec.message()
            : out ? out->geterror()
                  : OIIO::geterror());
    out.reset();
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

Writer::Writer(int threads) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

Writer::~Writer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

double Writer::submit(const FrameStats& row, std::shared_ptr<const std::vector<float>> pixels,
                      const std::string& base, int w, int h) {
  const auto t0 = Clock::now();
  auto frame = std::make_shared<Frame>();
  frame->row = row;
  frame->queued = t0;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return !error_.empty() || std::count_if(frames_.begin(), frames_.end(),
                                            [](auto& f) { return f->remaining > 0; }) < kMaxFrames;
  });
  frame->row.write_wait_ms = ms_since(t0);
  frames_.push_back(frame);
  for (const char* ext : {".exr", ".png"}) jobs_.push_back({frame, pixels, base + ext, w, h});
  changed_.notify_all();
  return ms_since(t0);
}

void Writer::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    const auto t0 = Clock::now();
    std::string err;
    const bool ok = error_.empty() && write_image(job.path, job.pixels->data(), job.w, job.h, &err);
    const double took = ms_since(t0);
    lock.lock();
    if (!ok && error_.empty()) error_ = err.empty() ? "an earlier write failed" : err;
    job.frame->row.write_ms += took;
    if (--job.frame->remaining == 0) job.frame->row.frame_ms += ms_since(job.frame->queued);
    changed_.notify_all();
  }
}

bool Writer::take(FrameStats* row) {
  std::lock_guard lock(mutex_);
  if (frames_.empty() || frames_.front()->remaining > 0 || !error_.empty()) return false;
  *row = frames_.front()->row;
  frames_.pop_front();
  changed_.notify_all();
  return true;
}

bool Writer::drain(std::string* err) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return !error_.empty() ||
           std::all_of(frames_.begin(), frames_.end(), [](auto& f) { return f->remaining == 0; });
  });
  if (error_.empty()) return true;
  *err = error_;
  return false;
}

bool Writer::ok(std::string* err) {
  std::lock_guard lock(mutex_);
  if (error_.empty()) return true;
  *err = error_;
  return false;
}

}  // namespace demo
