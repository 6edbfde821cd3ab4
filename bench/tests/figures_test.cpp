// The table is the benchmark run's verdict: results must be read from Google
// Benchmark's JSON the way it writes them (settings in the names, medians of
// repetitions, failed runs), latency percentiles must follow the nearest-rank
// rule where off-by-one mistakes hide, and goals and failures must come out right.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "figures.h"
#include "results.h"
#include "stats.h"

namespace vexa_bench {
namespace {

using Values = std::map<std::string, double>;

nlohmann::json Entry(const std::string &run_name, nlohmann::json fields) {
  nlohmann::json entry = {{"name", run_name}, {"run_name", run_name}, {"run_type", "iteration"},
                          {"iterations", 3},  {"real_time", 2.0},     {"time_unit", "ms"}};
  entry.update(fields);
  return entry;
}

TEST(Results, MediansWinNamesLoseTheirSettingsAndAFailedRepetitionStays) {
  const std::string name = "a/b/iterations:3/repeats:1/real_time";
  auto aggregate = [&](const char *which, double rate) {
    return Entry(name, {{"run_type", "aggregate"}, {"aggregate_name", which},
                        {"bytes_per_second", rate}, {"real_time", 1.0}, {"time_unit", "ns"}});
  };
  nlohmann::json document;
  document["benchmarks"] = {
      Entry(name, {{"bytes_per_second", 1.0}}), aggregate("mean", 50), aggregate("median", 40),
      aggregate("stddev", 9), Entry("c/min_time:0.050/real_time", {{"p50_s", 0.25}}),
      Entry("x/real_time", {{"error_occurred", true}, {"error_message", "read timed out"}}),
      Entry("x/real_time", {{"bytes_per_second", 5.0}})};
  const Results results = ParseResults(document);
  EXPECT_EQ(results.size(), 3u);
  EXPECT_EQ(results.at("a/b").values, (Values{{"bytes_per_second", 40}, {"real_time_s", 1e-9}}));
  EXPECT_EQ(results.at("c").values, (Values{{"p50_s", 0.25}, {"real_time_s", 2e-3}}));
  EXPECT_TRUE(results.at("x").error);
  EXPECT_EQ(results.at("x").error_message, "read timed out");

  // Bare NaN and infinities read as missing values; names keep them.
  const Results odd = ParseResults(ParseBenchmarkJson(
      R"({"benchmarks": [{"run_name": "nan/NaN \"inf\"", "run_type": "iteration",)"
      R"( "a": NaN, "b": -nan, "c": Infinity, "d": -inf, "e": 2.5}]})"));
  ASSERT_EQ(odd.count("nan/NaN \"inf\""), 1u);
  EXPECT_EQ(odd.at("nan/NaN \"inf\"").values, (Values{{"e", 2.5}}));
  EXPECT_TRUE(ParseBenchmarkJson("{\"a\": nope}").is_discarded());
}

TEST(Stats, NearestRankOnUnsortedSamples) {
  const std::vector<double> samples = {5, 1, 4, 2, 3};
  const double rows[][2] = {{0.5, 3}, {0.2, 1}, {0.21, 2}, {1.0, 5}, {0.0, 1}};
  for (const auto &row : rows) EXPECT_EQ(Percentile(samples, row[0]), row[1]) << row[0];
  EXPECT_EQ(Percentile({10, 40, 20, 30}, 0.5), 20);  // the lower middle of an even count
  EXPECT_EQ(Percentile({7}, 0.99), 7);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  const Summary s = Summarise(hundred), empty = Summarise({});
  EXPECT_EQ(std::make_tuple(s.p50, s.p99, s.max, s.mean, s.count),
            std::make_tuple(50.0, 99.0, 100.0, 50.5, size_t{100}));
  EXPECT_EQ(empty.count + empty.p50 + empty.max, 0);
}

TEST(Figures, GoalsAreMetOnlyByMeasuredFiguresOnTheRightSide) {
  using G = Goal;
  const struct {
    Goal goal;
    double limit, measured, baseline;
    bool failed;
    const char *met;
  } rows[] = {
      {G::RatioAtLeast, 0.5, 60, 100, false, "yes"}, {G::RatioAtLeast, 0.5, 50, 100, false, "yes"},
      {G::RatioAtLeast, 0.5, 40, 100, false, "**no**"}, {G::RatioAtMost, 2, 20, 10, false, "yes"},
      {G::RatioAtMost, 2, 30, 10, false, "**no**"},
      {G::ValueAtMost, 0.02, 0.015, 0.5, false, "yes"},
      {G::ValueAtMost, 0.02, 0.025, 0.001, false, "**no**"},
      {G::ValueAtLeast, 1, 0, 1, false, "**no**"},
      {G::RatioAtLeast, 0.5, 1, 1, true, "no (failed)"},
      {G::RatioAtLeast, 0.5, 5, 0, false, "no (no baseline)"},
  };
  for (const auto &row : rows) {
    Results results;
    results["lib"] = {{{"v", row.measured}}, row.failed, "boom"};
    results["base"].values["v"] = row.baseline;
    const Figure figure{"t", {"lib", "v"}, {"base", "v"}, Unit::BytesPerSecond, row.goal, row.limit,
                        "", {}, Unit::Seconds};
    EXPECT_EQ(Evaluate(figure, results).met, row.met)
        << row.measured << " against " << row.baseline << " limit " << row.limit;
    EXPECT_EQ(Evaluate(figure, Results{}).met, "no (not measured)");
  }
}

TEST(Figures, RowsShowTheExtraValueAndTheTableHasOneRowPerFigure) {
  const Figure figure{"EEPROM", {"e", "transfers"}, {"e", "words"}, Unit::Count, Goal::None, 0, "",
                      {"e", "seconds"}, Unit::Seconds};
  Results results;
  results["e"].values = {{"transfers", 129}, {"words", 64}, {"seconds", 0.0000075}};
  const Row row = Evaluate(figure, results);
  EXPECT_EQ(std::make_tuple(row.measured, row.ratio, row.met),
            std::make_tuple("129 (7.5 µs)", "2.02×", "–"));

  const std::vector<Figure> figures = StandardFigures();
  std::vector<Row> rows;
  for (const Figure &f : figures) rows.push_back(Evaluate(f, Results{}));
  const std::string table = MarkdownTable(rows);
  EXPECT_EQ(static_cast<size_t>(std::count(table.begin(), table.end(), '\n')), figures.size() + 2);
  EXPECT_EQ(table.rfind("| figure | measured | baseline | ratio | goal | met |", 0), 0u);
}

}  // namespace
}  // namespace vexa_bench
