// DecodeScheduler with two general workers decoding 16 files, against a serial loop of
// decode_plain over the same files.
//
// Acting as the host, this program sets OpenImageIO's process-wide "exr_threads" to -1 so that
// the serial loop really is serial: OpenEXR otherwise decodes every file on its own pool (the
// library never changes that attribute itself).
#include <OpenImageIO/imageio.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "quarn/io/decode_scheduler.h"
#include "quarn/io/plain_decode.h"
#include "ratio_main.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

constexpr int kFiles = 16;

const std::vector<std::string>& files() {
  static qn_test::TempDir dir;
  static const std::vector<std::string> paths = [] {
    std::vector<std::string> p;
    for (int i = 0; i < kFiles; ++i) {
      const auto path = dir.file("frame" + std::to_string(i) + ".exr");
      OIIO::ImageSpec spec = qn_test::named_spec(1280, 720, OIIO::TypeDesc::HALF);
      spec.attribute("compression", "zip");
      auto out = OIIO::ImageOutput::create(path);
      std::vector<float> pixels(1280ul * 720 * 4);
      for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<float>(k % 977) / 97.f;
      out->open(path, spec);
      out->write_image(OIIO::TypeDesc::FLOAT, pixels.data());
      out->close();
      p.push_back(path);
    }
    return p;
  }();
  return paths;
}

void BM_SerialDecodePlain(benchmark::State& state) {
  const auto& paths = files();
  for (auto _ : state) {
    for (const auto& path : paths) {
      qn::io::DecodeResult r;
      qn::io::decode_plain(path, 1, r);
      if (r.state != qn::io::DECODE_DONE) state.SkipWithError("decode failed");
      benchmark::DoNotOptimize(r.pixels.get());
    }
  }
}

void BM_SchedulerTwoWorkers(benchmark::State& state) {
  const auto& paths = files();
  qn::io::DecodeScheduler scheduler(2, 0, 1);
  for (auto _ : state) {
    std::vector<long> ids;
    for (const auto& path : paths) ids.push_back(scheduler.submit(path, 1));
    for (long id : ids) {
      auto r = scheduler.take(id, -1);
      if (!r || r->state != qn::io::DECODE_DONE) state.SkipWithError("decode failed");
    }
  }
}

BENCHMARK(BM_SerialDecodePlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SchedulerTwoWorkers)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  OIIO::attribute("exr_threads", -1);  // OpenEXR decodes on the calling thread
  return qn_bench::run_with_ratios(
      argc, argv,
      {{"BM_SchedulerTwoWorkers/real_time", "BM_SerialDecodePlain/real_time",
        "16 files, 2 general workers vs serial decode_plain"}});
}
