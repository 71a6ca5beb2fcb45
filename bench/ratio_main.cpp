#include "ratio_main.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace qn_bench {
namespace {

std::map<std::string, double>& times() {
  static std::map<std::string, double> t;
  return t;
}

class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred)
        times()[r.benchmark_name()] =
            r.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

double ns_per_iteration(const std::string& name) {
  auto it = times().find(name);
  return it == times().end() ? -1.0 : it->second;
}

int run_with_ratios(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Recorder rec;
  benchmark::RunSpecifiedBenchmarks(&rec);
  benchmark::Shutdown();
  std::printf("\n%-60s %12s\n", "ratio (peer time / our time; > 1 means we are faster)", "");
  for (const Ratio& r : ratios) {
    double ours = ns_per_iteration(r.ours), peer = ns_per_iteration(r.peer);
    if (ours <= 0 || peer <= 0) continue;
    std::printf("  %-58s %10.2fx\n", r.label.c_str(), peer / ours);
  }
  return 0;
}

}  // namespace qn_bench
