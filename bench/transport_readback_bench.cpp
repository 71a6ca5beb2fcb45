// 1920 × 1080 RGBA float readbacks (33,177,600 bytes) on llvmpipe, one per iteration:
//   BM_SyncReadPixels        glReadPixels into client memory: the GL thread waits for the bytes
//   BM_TransportStart        the GL thread's time in `start` alone (manual time; the wait for
//                            completion is outside the measurement)
//   BM_TransportEndToEnd     `start` + `wait`: bytes in host memory
//   BM_TransportPipelined    `start` with up to three readbacks in flight (the default ring):
//                            throughput once the ring is full
//   BM_Memcpy                memcpy of the same bytes, a physical limit
// Counter `allocs_per_readback`: heap allocations per readback in the steady state (this
// program counts every operator new).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>

#include "counting_new.h"
#include "quarn/transport/transport.h"
#include "ratio_main.h"
#include "support/gl_api.h"

namespace tr = qn::transport;
using qn_test::gl;

namespace {

constexpr int WIDTH = 1920, HEIGHT = 1080;
constexpr std::size_t FLOATS = std::size_t(WIDTH) * HEIGHT * 4;

struct Setup {
  qn_test::GlContext context;
  std::unique_ptr<qn_test::FloatTarget> target;
  std::vector<float> dst[3];
  std::string error;

  Setup() {
    std::string err;
    if (!context.error().empty() || !context.make_current() || !tr::init(&err)) {
      error = context.error().empty() ? "transport init: " + err : context.error();
      return;
    }
    target = std::make_unique<qn_test::FloatTarget>(WIDTH, HEIGHT, 1);
    target->fill_pattern(0);
    for (auto& d : dst) d.assign(FLOATS, 0.0f);
  }
};

Setup* setup(benchmark::State& state) {
  static Setup* s = new Setup;
  if (!s->error.empty()) state.SkipWithError(s->error.c_str());
  return s->error.empty() ? s : nullptr;
}

std::uint64_t start_into(Setup& s, int i) {
  return tr::start(s.target->fbo(), 0, 0, 0, WIDTH, HEIGHT, 4, s.dst[i].data(), nullptr, 0,
                   nullptr);
}

void count_bytes(benchmark::State& state) {
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(FLOATS * 4));
}

void BM_SyncReadPixels(benchmark::State& state) {
  Setup* s = setup(state);
  if (!s) return;
  gl().BindFramebuffer(GL_READ_FRAMEBUFFER, s->target->fbo());
  for (auto _ : state) {
    gl().ReadPixels(0, 0, WIDTH, HEIGHT, GL_RGBA, GL_FLOAT, s->dst[0].data());
    benchmark::DoNotOptimize(s->dst[0].data());
  }
  gl().BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  count_bytes(state);
}

void BM_TransportStart(benchmark::State& state) {
  Setup* s = setup(state);
  if (!s) return;
  tr::wait(start_into(*s, 0));  // the buffer exists from here on
  for (auto _ : state) {
    const auto before = std::chrono::steady_clock::now();
    const std::uint64_t ticket = start_into(*s, 0);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count());
    tr::wait(ticket);
  }
  count_bytes(state);
}

void BM_TransportEndToEnd(benchmark::State& state) {
  Setup* s = setup(state);
  if (!s) return;
  tr::wait(start_into(*s, 0));
  const long allocations = qn_test::allocations();
  for (auto _ : state) tr::wait(start_into(*s, 0));
  state.counters["allocs_per_readback"] =
      double(qn_test::allocations() - allocations) / double(state.iterations());
  count_bytes(state);
}

void BM_TransportPipelined(benchmark::State& state) {
  Setup* s = setup(state);
  if (!s) return;
  std::uint64_t tickets[3] = {};
  for (int k = 0; k < 3; ++k) tickets[k] = start_into(*s, k);  // every slot gets its buffer
  tr::wait_all();
  int i = 0;
  for (auto _ : state) {
    tr::wait(tickets[i]);  // the readback three starts ago wrote into this destination
    tickets[i] = start_into(*s, i);
    i = (i + 1) % 3;
  }
  tr::wait_all();
  count_bytes(state);
}

void BM_Memcpy(benchmark::State& state) {
  Setup* s = setup(state);
  if (!s) return;
  for (auto _ : state) {
    std::memcpy(s->dst[1].data(), s->dst[0].data(), FLOATS * 4);
    benchmark::DoNotOptimize(s->dst[1].data());
  }
  count_bytes(state);
}

BENCHMARK(BM_SyncReadPixels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TransportStart)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_TransportEndToEnd)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TransportPipelined)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

QN_BENCH_RATIO_MAIN({{"BM_TransportStart/manual_time", "BM_SyncReadPixels/real_time",
                      "GL-thread time: start vs synchronous glReadPixels"},
                     {"BM_TransportEndToEnd/real_time", "BM_SyncReadPixels/real_time",
                      "end to end: start + wait vs synchronous glReadPixels"},
                     {"BM_TransportPipelined/real_time", "BM_SyncReadPixels/real_time",
                      "pipelined (3 in flight) vs synchronous glReadPixels"},
                     {"BM_TransportEndToEnd/real_time", "BM_Memcpy/real_time",
                      "end to end: start + wait vs memcpy of the same bytes"}})
