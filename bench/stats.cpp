#include "stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vexa_bench {

namespace {

// Nearest rank on sorted samples: the smallest value with at least q of the
// samples at or below it.
double RankOf(const std::vector<double> &sorted, double q) {
  if (sorted.empty()) return 0;
  q = std::clamp(q, 0.0, 1.0);
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  if (rank == 0) rank = 1;
  return sorted[rank - 1];
}

}  // namespace

double Percentile(std::vector<double> samples, double q) {
  std::sort(samples.begin(), samples.end());
  return RankOf(samples, q);
}

Summary Summarise(const std::vector<double> &samples) {
  Summary summary;
  if (samples.empty()) return summary;
  std::vector<double> sorted = samples;
  std::sort(sorted.begin(), sorted.end());
  summary.p50 = RankOf(sorted, 0.50);
  summary.p99 = RankOf(sorted, 0.99);
  summary.max = sorted.back();
  summary.mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(sorted.size());
  summary.count = sorted.size();
  return summary;
}

}  // namespace vexa_bench
