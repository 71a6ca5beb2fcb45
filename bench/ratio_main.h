// bench/ratio_main.h — run the registered benchmarks, then print ours-against-peer ratios.
//
// A ratio compares the mean real time per iteration of two benchmarks of the same run:
// `peer / ours`, so a figure above 1 means we are faster. Benchmarks that report bytes or
// items per second compare the same way (time per iteration over equal work).
#pragma once

#include <string>
#include <vector>

namespace qn_bench {

struct Ratio {
  std::string ours;   // full benchmark name, e.g. "BM_FlatMapFind/1000000"
  std::string peer;   // the peer's full name
  std::string label;  // what the line says, e.g. "find hit 1M vs std::unordered_map"
};

/// Initialises Google Benchmark from argv, runs everything, prints each ratio whose two
/// benchmarks both ran, and returns the process exit code.
int run_with_ratios(int argc, char** argv, const std::vector<Ratio>& ratios);

/// Mean real time (ns per iteration) of a benchmark from the last run, or -1 if it did not run.
double ns_per_iteration(const std::string& name);

}  // namespace qn_bench

/// The whole `main` of a bench that only runs and prints its ratios:
///   QN_BENCH_RATIO_MAIN({{"BM_Ours", "BM_Peer", "what the line says"}, ...})
#define QN_BENCH_RATIO_MAIN(...) \
  int main(int argc, char** argv) { return qn_bench::run_with_ratios(argc, argv, __VA_ARGS__); }
