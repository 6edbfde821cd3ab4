// The table is the benchmark run's verdict: check that results are read from
// Google Benchmark's JSON the way it writes them (settings in the names,
// medians of repetitions, failed runs), and that ratios, goals and failures
// come out right in the rows.
#include <gtest/gtest.h>

#include "figures.h"
#include "results.h"

namespace vexa_bench {
namespace {

nlohmann::json PlainRun(const std::string &name, const nlohmann::json &fields) {
  nlohmann::json entry = fields;
  entry["name"] = name;
  entry["run_name"] = name;
  entry["run_type"] = "iteration";
  entry["iterations"] = 3;
  entry["real_time"] = 2.0;
  entry["time_unit"] = "ms";
  return entry;
}

nlohmann::json Aggregate(const std::string &run_name, const std::string &which, double rate) {
  nlohmann::json entry = {{"name", run_name + "_" + which}, {"run_name", run_name},
                          {"run_type", "aggregate"},        {"aggregate_name", which},
                          {"bytes_per_second", rate},       {"real_time", 1.0},
                          {"time_unit", "ns"}};
  return entry;
}

TEST(Results, KeysDropTheSettingsGoogleBenchmarkAppends) {
  EXPECT_EQ(BenchmarkKey("rx/library/p64/r4096/iterations:3/repeats:1/real_time"), "rx/library/p64/r4096");
  EXPECT_EQ(BenchmarkKey("handle/list32/min_time:0.050/real_time"), "handle/list32");
  EXPECT_EQ(BenchmarkKey("tx/baseline"), "tx/baseline");
}

TEST(Results, MedianWinsOverMeanAndRunsAndTimesBecomeSeconds) {
  nlohmann::json document;
  document["benchmarks"] = {
      PlainRun("a/b/iterations:3/real_time", {{"bytes_per_second", 1.0}}),
      Aggregate("a/b/iterations:3/real_time", "mean", 50.0),
      Aggregate("a/b/iterations:3/real_time", "median", 40.0),
      Aggregate("a/b/iterations:3/real_time", "stddev", 9.0),
      PlainRun("c/iterations:1/real_time", {{"p50_s", 0.25}}),
  };
  const Results results = ParseResults(document);
  ASSERT_EQ(results.count("a/b"), 1u);
  EXPECT_EQ(results.at("a/b").values.at("bytes_per_second"), 40.0);
  EXPECT_DOUBLE_EQ(results.at("a/b").values.at("real_time_s"), 1e-9);
  EXPECT_DOUBLE_EQ(results.at("c").values.at("real_time_s"), 2e-3);
  EXPECT_EQ(results.at("c").values.at("p50_s"), 0.25);
  EXPECT_EQ(results.at("c").values.count("iterations"), 0u);
}

TEST(Results, BareNaNAndInfinityReadAsMissingValuesButNamesKeepThem) {
  const nlohmann::json document = ParseBenchmarkJson(
      R"({"benchmarks": [{"run_name": "nan/NaN \"inf\"", "run_type": "iteration",)"
      R"( "a": NaN, "b": -nan, "c": Infinity, "d": -inf, "e": 2.5}]})");
  ASSERT_FALSE(document.is_discarded());
  const Results results = ParseResults(document);
  ASSERT_EQ(results.count("nan/NaN \"inf\""), 1u);
  const auto &values = results.at("nan/NaN \"inf\"").values;
  EXPECT_EQ(values.count("a") + values.count("b") + values.count("c") + values.count("d"), 0u);
  EXPECT_EQ(values.at("e"), 2.5);
  EXPECT_TRUE(ParseBenchmarkJson("{\"a\": nope}").is_discarded());
}

TEST(Results, AFailedRepetitionIsNotHiddenByALaterOne) {
  nlohmann::json failed = PlainRun("x/real_time", nlohmann::json::object());
  failed["error_occurred"] = true;
  failed["error_message"] = "read timed out";
  nlohmann::json document;
  document["benchmarks"] = {failed, PlainRun("x/real_time", {{"bytes_per_second", 5.0}})};
  const Results results = ParseResults(document);
  EXPECT_TRUE(results.at("x").error);
  EXPECT_EQ(results.at("x").error_message, "read timed out");
}

Results Two(double measured, double baseline) {
  Results results;
  results["lib"].values["v"] = measured;
  results["base"].values["v"] = baseline;
  return results;
}

Figure RatioFigure(Goal goal, double limit) {
  Figure figure;
  figure.title = "t";
  figure.measured = {"lib", "v"};
  figure.baseline = {"base", "v"};
  figure.unit = Unit::BytesPerSecond;
  figure.goal = goal;
  figure.limit = limit;
  return figure;
}

TEST(Figures, RatioGoalsCompareMeasuredOverBaseline) {
  const Figure at_least = RatioFigure(Goal::RatioAtLeast, 0.5);
  Row row = Evaluate(at_least, Two(60e6, 100e6));
  EXPECT_EQ(row.measured, "60.00 MB/s");
  EXPECT_EQ(row.baseline, "100.00 MB/s");
  EXPECT_EQ(row.ratio, "0.60×");
  EXPECT_EQ(row.met, "yes");
  EXPECT_EQ(Evaluate(at_least, Two(40e6, 100e6)).met, "**no**");
  EXPECT_EQ(Evaluate(at_least, Two(50e6, 100e6)).met, "yes");

  const Figure at_most = RatioFigure(Goal::RatioAtMost, 2);
  EXPECT_EQ(Evaluate(at_most, Two(30, 10)).met, "**no**");
  EXPECT_EQ(Evaluate(at_most, Two(20, 10)).met, "yes");
}

TEST(Figures, ValueGoalsIgnoreTheBaseline) {
  Figure figure = RatioFigure(Goal::ValueAtMost, 0.02);
  figure.unit = Unit::Fraction;
  Row row = Evaluate(figure, Two(0.025, 0.001));
  EXPECT_EQ(row.measured, "2.50 %");
  EXPECT_EQ(row.ratio, "25.00×");
  EXPECT_EQ(row.met, "**no**");
  EXPECT_EQ(Evaluate(figure, Two(0.015, 0.5)).met, "yes");
  figure.goal = Goal::ValueAtLeast;
  figure.limit = 1;
  EXPECT_EQ(Evaluate(figure, Two(0, 1)).met, "**no**");
}

TEST(Figures, MissingFailedAndBaselineLessFiguresAreNeverMet) {
  const Figure figure = RatioFigure(Goal::RatioAtLeast, 0.5);
  Results none;
  Row row = Evaluate(figure, none);
  EXPECT_EQ(row.measured, "missing");
  EXPECT_EQ(row.met, "no (not measured)");

  Results failed = Two(1, 1);
  failed["lib"].error = true;
  failed["lib"].error_message = "boom";
  row = Evaluate(figure, failed);
  EXPECT_EQ(row.measured, "error: boom");
  EXPECT_EQ(row.met, "no (failed)");

  // A zero baseline gives no ratio, so a ratio goal cannot be judged met.
  row = Evaluate(figure, Two(5, 0));
  EXPECT_EQ(row.ratio, "–");
  EXPECT_EQ(row.met, "no (no baseline)");
}

TEST(Figures, UnitsAndTheExtraValue) {
  EXPECT_EQ(FormatValue(0.0000187, Unit::Seconds), "18.7 µs");
  EXPECT_EQ(FormatValue(0.0106, Unit::Seconds), "10.60 ms");
  EXPECT_EQ(FormatValue(4.98, Unit::Seconds), "4.980 s");
  EXPECT_EQ(FormatValue(129, Unit::Count), "129");

  Figure figure;
  figure.title = "EEPROM";
  figure.measured = {"e", "transfers"};
  figure.baseline = {"e", "words"};
  figure.extra = {"e", "seconds"};
  Results results;
  results["e"].values = {{"transfers", 129}, {"words", 64}, {"seconds", 0.0000075}};
  const Row row = Evaluate(figure, results);
  EXPECT_EQ(row.measured, "129 (7.5 µs)");
  EXPECT_EQ(row.ratio, "2.02×");
  EXPECT_EQ(row.met, "–");
}

TEST(Figures, EveryStandardFigureNamesABenchmarkAndTheTableHasOneRowEach) {
  const std::vector<Figure> figures = StandardFigures();
  std::vector<Row> rows;
  for (const Figure &figure : figures) {
    EXPECT_FALSE(figure.measured.benchmark.empty()) << figure.title;
    rows.push_back(Evaluate(figure, Results{}));
  }
  const std::string table = MarkdownTable(rows);
  size_t lines = 0;
  for (char c : table) lines += c == '\n';
  EXPECT_EQ(lines, figures.size() + 2);
  EXPECT_EQ(table.rfind("| figure | measured | baseline | ratio | goal | met |", 0), 0u);
}

}  // namespace
}  // namespace vexa_bench
