// load_layers on a 4K RGBA half scanline EXR (zip and dwab) against a plain single
// ImageInput::read_image of the same file into float RGBA, with "oiio:threads" 1 and 0.
// Both read the whole image; load_layers also packs it into the frame the host asked for.
#include <benchmark/benchmark.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "quarn/io/layer_loader.h"
#include "ratio_main.h"
#include "support/image_files.h"
#include "support/temp_dir.h"

namespace {

constexpr int kWidth = 3840, kHeight = 2160;

// Film-like content: smooth gradients with fine detail, so that neither codec has it easy.
std::vector<float> picture() {
  std::vector<float> px(std::size_t(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      float* p = &px[(std::size_t(y) * kWidth + x) * 4];
      const float fine = static_cast<float>((x * 7919 + y * 104729) % 97) / 970.f;
      p[0] = static_cast<float>(x) / kWidth + fine;
      p[1] = static_cast<float>(y) / kHeight + fine;
      p[2] = 0.5f + 0.4f * static_cast<float>(((x / 64) + (y / 64)) % 2) - fine;
      p[3] = 1.f;
    }
  return px;
}

void load_layers(benchmark::State& state, std::string path, int threads) {
  std::vector<float> frame(std::size_t(kWidth) * kHeight * 4);
  const std::vector<std::array<qn::io::Slot, 4>> slots{
      {qn::io::Slot{0, 0, 0.f}, qn::io::Slot{0, 1, 0.f}, qn::io::Slot{0, 2, 0.f},
       qn::io::Slot{0, 3, 0.f}}};
  for (auto _ : state) {
    std::string err;
    if (!qn::io::load_layers(path, {{0, 0, 4, 0, 0, kWidth, kHeight}}, slots, kWidth, kHeight,
                             threads, {frame.data()}, err))
      state.SkipWithError(err.c_str());
    benchmark::DoNotOptimize(frame.data());
  }
}

void read_image(benchmark::State& state, std::string path, int threads) {
  std::vector<float> frame(std::size_t(kWidth) * kHeight * 4);
  for (auto _ : state) {
    OIIO::ImageSpec config;
    config.attribute("oiio:threads", threads);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in || !in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, frame.data()))
      state.SkipWithError("read_image failed");
    benchmark::DoNotOptimize(frame.data());
  }
}

std::string peer_name(const char* compression, int threads) {
  return std::string("BM_ReadImage/") + compression + "/oiio_threads:" + std::to_string(threads);
}

const std::string kSuffix = "/min_time:2.000/real_time";

}  // namespace

int main(int argc, char** argv) {
  qn_test::TempDir dir;
  const std::vector<float> px = picture();
  std::vector<qn_bench::Ratio> ratios;
  for (const char* compression : {"zip", "dwab"}) {
    OIIO::ImageSpec spec(kWidth, kHeight, 4, OIIO::TypeDesc::HALF);
    spec.attribute("compression", compression);
    const std::string path = dir.file(std::string("4k_") + compression + ".exr");
    std::string err;
    if (!qn_test::write_subimages(path, {spec}, {px}, &err)) {
      std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), err.c_str());
      return 1;
    }
    // threads 0: the loader's default of up to 16 bands; the core count: what a host passes.
    const int cores = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
    for (int threads : {0, cores}) {
      const std::string ours =
          std::string("BM_LoadLayers/") + compression + "/threads:" + std::to_string(threads);
      benchmark::RegisterBenchmark(ours.c_str(), load_layers, path, threads)
          ->MinTime(2.0)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
      for (int peer_threads : {1, 0})
        ratios.push_back({ours + kSuffix, peer_name(compression, peer_threads) + kSuffix,
                          std::string("4K RGBA half ") + compression + ", threads " +
                              std::to_string(threads) + " vs read_image oiio:threads " +
                              std::to_string(peer_threads)});
    }
    for (int threads : {1, 0})
      benchmark::RegisterBenchmark(peer_name(compression, threads).c_str(), read_image, path,
                                   threads)
          ->MinTime(2.0)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
  }
  return qn_bench::run_with_ratios(argc, argv, ratios);
}
