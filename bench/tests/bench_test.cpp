// The benchmark run's verdict and what it rests on. Results must be read from
// Google Benchmark's JSON the way it writes them (settings in the names,
// medians of repetitions, failed runs); latency percentiles follow the
// nearest-rank rule where off-by-one mistakes hide; goals and failures must
// come out right in the table. The stream pattern proves "nothing lost, in
// order" at line rate and status stripping is the baseline's half of every
// receive figure: both must catch exactly the faults they are there for.
// Last, the program's fast families must feed every figure they own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <tuple>
#include <utility>

#include "figures.h"
#include "payload.h"
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
    const char *met;
    bool failed = false;
  } rows[] = {
      {G::RatioAtLeast, 0.5, 50, 100, "yes"}, {G::RatioAtLeast, 0.5, 40, 100, "**no**"},
      {G::RatioAtMost, 2, 20, 10, "yes"}, {G::RatioAtMost, 2, 30, 10, "**no**"},
      {G::ValueAtMost, 0.02, 0.015, 0.5, "yes"}, {G::ValueAtMost, 0.02, 0.025, 0.001, "**no**"},
      {G::ValueAtLeast, 1, 0, 1, "**no**"}, {G::RatioAtLeast, 0.5, 5, 0, "no (no baseline)"},
      {G::RatioAtLeast, 0.5, 1, 1, "no (failed)", true},
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

TEST(Pattern, MatchesItsOwnStreamAndCatchesDroppedRepeatedAndReorderedBytes) {
  const Pattern pattern;
  std::vector<uint8_t> stream = pattern.Make(0, 8192);
  EXPECT_TRUE(pattern.Matches(1234, stream.data() + 1234, 1000));
  const std::vector<uint8_t> tail = pattern.Make(2500, 500);  // the same stream, from an offset
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), stream.begin() + 2500));
  // A lost block of a power-of-two size, as a lost packet or transfer would be.
  for (size_t lost : {1u, 62u, 256u, 4096u}) {
    std::vector<uint8_t> received(stream.begin(), stream.begin() + 1000);
    received.insert(received.end(), stream.begin() + 1000 + lost, stream.end());
    EXPECT_FALSE(pattern.Matches(0, received.data(), received.size())) << lost;
  }
  std::vector<uint8_t> repeated(stream.begin(), stream.begin() + 600);
  repeated.insert(repeated.end(), stream.begin() + 88, stream.begin() + 600);
  EXPECT_FALSE(pattern.Matches(0, repeated.data(), repeated.size()));
  std::swap(stream[10], stream[11]);
  EXPECT_FALSE(pattern.Matches(0, stream.data(), stream.size()));
  // No more than it can check.
  const std::vector<uint8_t> big = pattern.Make(0, Pattern::kMaxCheck + 8);
  EXPECT_TRUE(pattern.Matches(7, big.data() + 7, Pattern::kMaxCheck));
  EXPECT_FALSE(pattern.Matches(0, big.data(), big.size()));
}

TEST(StripStatusBytes, KeepsPayloadOfFullShortAndStatusOnlyPackets) {
  // Two full 8-byte packets, then a third cut by the transfer length.
  const std::vector<uint8_t> transfer = {0x11, 0x60, 1, 2, 3, 4, 5, 6,    //
                                         0x11, 0x60, 7, 8, 9, 10, 11, 12,  //
                                         0x11, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  // Transfer length and payload length: the payload is 1 to 12 and then
  // zeros, and nothing beyond it is written.
  for (const auto &[length, payload] : {std::pair<int, size_t>{18, 12}, {21, 15}, {1, 0}, {0, 0}}) {
    std::vector<uint8_t> out(32, 0xEE);
    EXPECT_EQ(StripStatusBytes(transfer.data(), length, 8, out.data()), payload) << length;
    std::vector<uint8_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0};
    expected.resize(payload);
    expected.resize(out.size(), 0xEE);
    EXPECT_EQ(out, expected) << length;
  }
}

const char kFastFamilies[] = "^(tx|eeprom|handle/(open|list))";

// A renamed counter or a family that fails against the simulated chip would
// otherwise show only as "missing" or "error" in a table nobody reads in CI.
TEST(QuickRun, FastFamiliesFeedEveryFigureTheyOwn) {
  const std::string out = ::testing::TempDir() + "vexa_bench_quick.json";
  const std::string command = std::string(VEXA_BENCH_PROGRAM) + " --quick '--benchmark_filter=" +
                              kFastFamilies + "' --benchmark_out=" + out +
                              " --benchmark_out_format=json >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(out);
  const Results results = ParseResults(nlohmann::json::parse(in, nullptr, false));

  const std::regex fast(kFastFamilies);
  size_t checked = 0;
  for (const Figure &figure : StandardFigures()) {
    if (!std::regex_search(figure.measured.benchmark, fast)) continue;
    const Row row = Evaluate(figure, results);
    EXPECT_NE(row.measured, "missing") << figure.title;
    EXPECT_EQ(row.measured.find("error"), std::string::npos) << figure.title << row.measured;
    EXPECT_TRUE(figure.baseline.empty() || row.baseline != "missing") << figure.title;
    ++checked;
  }
  EXPECT_EQ(checked, 27u);  // transmit, open, listing, and 24 EEPROM figures

  // Transfer counts come from the chip's log: a 64-word single-channel part
  // is programmed with one erase, 64 writes and a 64-word read-back.
  const auto &eeprom = results.at("eeprom/r4/w64").values;
  EXPECT_EQ(eeprom.at("program_transfers"), 129);
  EXPECT_EQ(eeprom.at("read_transfers"), 64);
  EXPECT_GT(results.at("tx/library").values.at("bytes_per_second"), 0);
}

}  // namespace
}  // namespace vexa_bench
