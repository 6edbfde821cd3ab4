// Percentiles decide the latency figures: check the nearest-rank rule where
// off-by-one mistakes hide (small counts, the 99th of 100, unsorted input).
#include <gtest/gtest.h>

#include "stats.h"

namespace vexa_bench {
namespace {

TEST(Stats, NearestRankOnUnsortedSamples) {
  const std::vector<double> samples = {5, 1, 4, 2, 3};
  EXPECT_EQ(Percentile(samples, 0.5), 3);
  EXPECT_EQ(Percentile(samples, 0.2), 1);
  EXPECT_EQ(Percentile(samples, 0.21), 2);
  EXPECT_EQ(Percentile(samples, 1.0), 5);
  EXPECT_EQ(Percentile(samples, 0.0), 1);
}

TEST(Stats, NinetyNinthOfAHundredIsTheSecondLargest) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  const Summary summary = Summarise(samples);
  EXPECT_EQ(summary.p99, 99);
  EXPECT_EQ(summary.p50, 50);
  EXPECT_EQ(summary.max, 100);
  EXPECT_DOUBLE_EQ(summary.mean, 50.5);
  EXPECT_EQ(summary.count, 100u);
}

TEST(Stats, EvenCountMedianIsTheLowerMiddleAndEmptyIsZero) {
  EXPECT_EQ(Percentile({10, 40, 20, 30}, 0.5), 20);
  const Summary empty = Summarise({});
  EXPECT_EQ(empty.count, 0u);
  EXPECT_EQ(empty.p50, 0);
  EXPECT_EQ(empty.max, 0);
  EXPECT_EQ(Percentile({7}, 0.99), 7);
}

}  // namespace
}  // namespace vexa_bench
