// The table is the benchmark run's verdict: results must be read from Google
// Benchmark's JSON the way it writes them (settings in the names, medians of
// repetitions, failed runs), and goals and failures must come out right.
#include <gtest/gtest.h>

#include <algorithm>

#include "figures.h"
#include "results.h"

namespace vexa_bench {
namespace {

nlohmann::json Entry(const std::string &run_name, nlohmann::json fields) {
  nlohmann::json entry = {{"name", run_name}, {"run_name", run_name}, {"run_type", "iteration"},
                          {"iterations", 3},  {"real_time", 2.0},     {"time_unit", "ms"}};
  entry.update(fields);
  return entry;
}

TEST(Results, MediansWinNamesLoseTheirSettingsAndAFailedRepetitionStays) {
  const std::string name = "a/b/iterations:3/repeats:1/real_time";
  auto aggregate = [&](const char *which, double rate) {
    return Entry(name, {{"run_type", "aggregate"}, {"aggregate_name", which}, {"bytes_per_second", rate},
                        {"real_time", 1.0}, {"time_unit", "ns"}});
  };
  nlohmann::json document;
  document["benchmarks"] = {
      Entry(name, {{"bytes_per_second", 1.0}}), aggregate("mean", 50), aggregate("median", 40),
      aggregate("stddev", 9), Entry("c/min_time:0.050/real_time", {{"p50_s", 0.25}}),
      Entry("x/real_time", {{"error_occurred", true}, {"error_message", "read timed out"}}),
      Entry("x/real_time", {{"bytes_per_second", 5.0}})};
  const Results results = ParseResults(document);
  EXPECT_EQ(results.size(), 3u);
  EXPECT_EQ(results.at("a/b").values.at("bytes_per_second"), 40.0);
  EXPECT_DOUBLE_EQ(results.at("a/b").values.at("real_time_s"), 1e-9);
  EXPECT_DOUBLE_EQ(results.at("c").values.at("real_time_s"), 2e-3);
  EXPECT_EQ(results.at("c").values.at("p50_s"), 0.25);
  EXPECT_EQ(results.at("c").values.count("iterations"), 0u);
  EXPECT_TRUE(results.at("x").error);
  EXPECT_EQ(results.at("x").error_message, "read timed out");

  // Bare NaN and infinities read as missing values; names keep them.
  const Results odd = ParseResults(ParseBenchmarkJson(
      R"({"benchmarks": [{"run_name": "nan/NaN \"inf\"", "run_type": "iteration",)"
      R"( "a": NaN, "b": -nan, "c": Infinity, "d": -inf, "e": 2.5}]})"));
  ASSERT_EQ(odd.count("nan/NaN \"inf\""), 1u);
  const auto &values = odd.at("nan/NaN \"inf\"").values;
  EXPECT_EQ(values.size(), 1u);
  EXPECT_EQ(values.at("e"), 2.5);
  EXPECT_TRUE(ParseBenchmarkJson("{\"a\": nope}").is_discarded());
}

TEST(Figures, GoalsAreMetOnlyByMeasuredFiguresOnTheRightSide) {
  auto two = [](double measured, double baseline, bool failed = false) {
    Results results;
    results["lib"] = {{{"v", measured}}, failed, "boom"};
    results["base"].values["v"] = baseline;
    return results;
  };
  const struct {
    Goal goal;
    double limit, measured, baseline;
    bool failed;
    const char *met;
  } rows[] = {
      {Goal::RatioAtLeast, 0.5, 60, 100, false, "yes"},  {Goal::RatioAtLeast, 0.5, 50, 100, false, "yes"},
      {Goal::RatioAtLeast, 0.5, 40, 100, false, "**no**"}, {Goal::RatioAtMost, 2, 20, 10, false, "yes"},
      {Goal::RatioAtMost, 2, 30, 10, false, "**no**"},   {Goal::ValueAtMost, 0.02, 0.015, 0.5, false, "yes"},
      {Goal::ValueAtMost, 0.02, 0.025, 0.001, false, "**no**"}, {Goal::ValueAtLeast, 1, 0, 1, false, "**no**"},
      {Goal::RatioAtLeast, 0.5, 5, 0, false, "no (no baseline)"}, {Goal::RatioAtLeast, 0.5, 1, 1, true, "no (failed)"},
  };
  for (const auto &row : rows) {
    const Figure figure{"t", {"lib", "v"}, {"base", "v"}, Unit::BytesPerSecond, row.goal, row.limit, "", {},
                        Unit::Seconds};
    EXPECT_EQ(Evaluate(figure, two(row.measured, row.baseline, row.failed)).met, row.met)
        << row.measured << " against " << row.baseline << " limit " << row.limit;
    EXPECT_TRUE(!row.failed || Evaluate(figure, Results{}).met == "no (not measured)");
  }
}

TEST(Figures, RowsShowTheExtraValueAndTheTableHasOneRowPerFigure) {
  const Figure figure{"EEPROM", {"e", "transfers"}, {"e", "words"}, Unit::Count, Goal::None, 0, "",
                      {"e", "seconds"}, Unit::Seconds};
  Results results;
  results["e"].values = {{"transfers", 129}, {"words", 64}, {"seconds", 0.0000075}};
  const Row row = Evaluate(figure, results);
  EXPECT_EQ(row.measured, "129 (7.5 µs)");
  EXPECT_EQ(row.ratio, "2.02×");
  EXPECT_EQ(row.met, "–");

  const std::vector<Figure> figures = StandardFigures();
  std::vector<Row> rows;
  for (const Figure &f : figures) {
    EXPECT_FALSE(f.measured.benchmark.empty()) << f.title;
    rows.push_back(Evaluate(f, Results{}));
  }
  const std::string table = MarkdownTable(rows);
  EXPECT_EQ(static_cast<size_t>(std::count(table.begin(), table.end(), '\n')), figures.size() + 2);
  EXPECT_EQ(table.rfind("| figure | measured | baseline | ratio | goal | met |", 0), 0u);
}

}  // namespace
}  // namespace vexa_bench
