// Order statistics of latency samples, as the benchmarks report them.
#ifndef VEXA_BENCH_STATS_H
#define VEXA_BENCH_STATS_H

#include <cstddef>
#include <vector>

namespace vexa_bench {

struct Summary {
  double p50 = 0;
  double p99 = 0;
  double max = 0;
  double mean = 0;
  std::size_t count = 0;
};

// Nearest-rank percentile (q in 0..1) of samples; 0 for no samples.
double Percentile(std::vector<double> samples, double q);

// p50, p99, max and mean of the samples (all zero when there are none).
Summary Summarise(const std::vector<double> &samples);

}  // namespace vexa_bench

#endif  // VEXA_BENCH_STATS_H
