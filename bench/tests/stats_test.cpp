// Percentiles decide the latency figures: the nearest-rank rule where
// off-by-one mistakes hide (small counts, the 99th of 100, unsorted input).
#include <gtest/gtest.h>

#include "stats.h"

namespace vexa_bench {
namespace {

TEST(Stats, NearestRankOnUnsortedSamples) {
  const std::vector<double> samples = {5, 1, 4, 2, 3};
  const double rows[][2] = {{0.5, 3}, {0.2, 1}, {0.21, 2}, {1.0, 5}, {0.0, 1}};
  for (const auto &row : rows) EXPECT_EQ(Percentile(samples, row[0]), row[1]) << row[0];
  EXPECT_EQ(Percentile({10, 40, 20, 30}, 0.5), 20);  // the lower middle of an even count
  EXPECT_EQ(Percentile({7}, 0.99), 7);

  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const Summary summary = Summarise(hundred);
  EXPECT_EQ(summary.p99, 99);
  EXPECT_EQ(summary.p50, 50);
  EXPECT_EQ(summary.max, 100);
  EXPECT_DOUBLE_EQ(summary.mean, 50.5);
  EXPECT_EQ(summary.count, 100u);
  const Summary empty = Summarise({});
  EXPECT_EQ(empty.count + empty.p50 + empty.max, 0);
}

}  // namespace
}  // namespace vexa_bench
